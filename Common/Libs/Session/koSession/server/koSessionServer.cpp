#include "koSessionServer.h"

#include "koSessionChange.h"
#include "koSessionChangeList.h"
#include "koSessionSceneBuffer.h"
#include "koSessionSceneWire.h"
#include "koSessionEndCommand.h"
#include "koSessionHandshake.h"
#include "koSessionServerPeer.h"
#include "koSessionStateDirectory.h"
#include "koSessionStateRecorder.h"
#include "koSessionUser.h"
#include "koSessionUserPoseCommand.h"
#include "koSessionUsersCommand.h"
#include "koSessionWire.h"

#include "koBoundSocketLink.h"
#include "koConnectionClosed.h"
#include "koLog.h"
#include "koNetError.h"
#include "koNetStream.h"
#include "koSocketAddress.h"
#include "koSocketLink.h"
#include "koSocketPipe.h"

#include <QStringList>

#include <algorithm>
#include <cassert>
#include <chrono>
#include <map>
#include <system_error>

namespace {

const char tunnelAnswer[] = "HTTP/1.1 200 OK\r\n\r\n";

// User identifiers for the whole process: never reset, so a restarted or a
// second server never hands out an identifier twice while it is in use.
std::atomic<int> nextUserId{1};
// Every 16-bit identifier but 0, which means nobody.
constexpr int UserIdCount = 0xffff;

std::chrono::milliseconds toMilliseconds(double seconds)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::duration<double>(seconds));
}

// The peer's host without its port: the unit of the per-address bounds.
std::string peerAddress(const koNetLink& link)
{
    const std::string name = link.getPeerName();
    try {
        return koSocketAddress(name, 0).getHost();
    } catch (const std::exception&) {
        return name;
    }
}

} // namespace

koSessionServer* koSessionServer::s_the = nullptr;

koSessionServer::koSessionServer()
    : changeList(std::make_shared<koSessionChangeList>()),
      asyncChangeList(std::make_shared<koSessionChangeList>())
{
    s_the = this;
    setMaxRetainedBytes(DefaultMaxRetainedBytes);
}

koSessionServer::~koSessionServer()
{
    try {
        stop();
        // The scene goes with the server, so nothing is lost by cutting the
        // transfers, and wait() cannot hang on a peer that stopped moving bytes.
        cutTransfers();
        wait();
        // A peer admitted while stop ran is still held; drop it the same way
        // and wait for the removal jobs its threads submit.
        Peers late;
        {
            Lock lock(mutex);
            late.swap(clients);
        }
        late.clear();
        actionManager.waitAll();
    } catch (const std::exception& e) {
        koLog::error("Unable to shut the session server down:%s", e.what());
    } catch (...) {
        koLog::error("Unable to shut the session server down");
    }
}

koSessionServer& koSessionServer::the()
{
    return *s_the;
}

// ---------------------------------------------------------------------------
// Lifecycle

void koSessionServer::start(const QString& pipeName, int port, const QString& listenAddress)
{
    if (acceptThread.joinable())
        throw std::logic_error("koSessionServer::start needs a wait() after the previous run");
    stopping = false;
    running = true;
    waitingForFirstClient = true;
    changeList->clear();
    asyncChangeList->clear();
    restoreState();
    // A restart with the other kind of transport drops the earlier one, so
    // that accept and getPort only ever see the transport of this run.
    Lock lock(mutex);
    if (!pipeName.isEmpty()) {
        pipe = std::make_unique<koSocketPipe>(pipeName.toStdString());
        boundLink.reset();
    } else {
        boundLink = std::make_unique<koBoundSocketLink>(port, listenAddress.toStdString());
        pipe.reset();
    }
    started = std::chrono::steady_clock::now();
    for (auto* counter : {&joins, &leaves, &refusedConnections, &changesRelayed, &bytesRelayed, &sceneBytes})
        *counter = 0;
    handshakes.open();
    acceptThread = std::thread([this] { accept(); });
    if (stopsWhenEmpty)
        actionManager.run([this] { waitForFirstClient(EmptySessionSeconds); });
}

void koSessionServer::stop()
{
    Peers dropped;
    {
        Lock lock(mutex);
        stop(lock, dropped);
    }
    // Destroying a peer joins its threads, which may be waiting for the mutex.
    dropped.clear();
}

void koSessionServer::stop(const Lock& held, Peers& dropped)
{
    checkHeld(held);
    if (!running)
        return;
    stopping = true;
    if (pipe)
        pipe->shutdown();
    if (boundLink)
        boundLink->shutdown();
    handshakes.shutDown();
    dropped.insert(dropped.end(), std::make_move_iterator(clients.begin()), std::make_move_iterator(clients.end()));
    clients.clear();
    arrivals.clear();
    secondLinks.clear();
    running = false;
    rosterChanged.notify_all();
}

void koSessionServer::endSession(const QString& reason)
{
    if (!running)
        return;
    koLog::info("Ending the session for everybody: %s", reason.toUtf8().constData());
    asyncChangeList->push(koSessionEndCommand(reason));
    {
        Lock lock(mutex);
        rosterChanged.wait_for(lock, toMilliseconds(EndNoticeSeconds), [this] { return !running || clients.empty(); });
    }
    stop();
}

void koSessionServer::wait()
{
    if (acceptThread.joinable()) {
        if (acceptThread.get_id() == std::this_thread::get_id())
            throw std::system_error(std::make_error_code(std::errc::resource_deadlock_would_occur),
                                    "koSessionServer::wait on the accept thread");
        acceptThread.join();
    }
    // Handshakes still running end within their deadline.
    handshakes.join();
    actionManager.waitAll();
    doorLog.flush();
    finishState();
}

int koSessionServer::getPort()
{
    return boundLink ? boundLink->getAddress().getPort() : 0;
}

void koSessionServer::setSessionId(const QString& sessionId)
{
    const std::string hash = sessionId.isEmpty() ? std::string() : koSessionWire::sessionHash(sessionId).toStdString();
    Lock lock(mutex);
    sessionHash = hash;
}

void koSessionServer::setStopsWhenEmpty(bool stops)
{
    stopsWhenEmpty = stops;
}

koSessionServerStatistics koSessionServer::getStatistics()
{
    koSessionServerStatistics statistics;
    {
        Lock lock(mutex);
        statistics.participants = clients.size();
        if (running)
            statistics.uptime = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - started);
    }
    statistics.joins = joins;
    statistics.leaves = leaves;
    statistics.refusedConnections = refusedConnections;
    statistics.changesRelayed = changesRelayed;
    statistics.bytesRelayed = bytesRelayed;
    statistics.sceneBytes = sceneBytes;
    return statistics;
}

std::vector<koSessionServerParticipant> koSessionServer::getParticipants()
{
    std::vector<koSessionServerParticipant> participants;
    Lock lock(mutex);
    for (const auto& peer : clients) {
        const auto arrival = arrivals.find(peer->getUserId());
        if (arrival != arrivals.end())
            participants.push_back({peer->copyUser(), arrival->second.address, arrival->second.joined});
    }
    return participants;
}

void koSessionServer::countRelayed(std::size_t bytes)
{
    ++changesRelayed;
    bytesRelayed += bytes;
}

void koSessionServer::refuse(koLog::Level level, const std::string& address, const std::string& line)
{
    ++refusedConnections;
    doorLog.write(level, address, line);
}

void koSessionServer::setNextUserId(int value)
{
    nextUserId = value;
}

void koSessionServer::checkClients()
{
    actionManager.run([this] { removeStoppedClients(); });
}

// Stops once the whole seconds passed on the wall clock exceed `seconds`.
void koSessionServer::waitForFirstClient(int seconds)
{
    const auto deadline = std::chrono::system_clock::now() + std::chrono::seconds(seconds + 1);
    {
        Lock lock(mutex);
        if (rosterChanged.wait_until(lock, deadline, [this] { return !running || !waitingForFirstClient || stopping; }))
            return;
    }
    koLog::info("Stopping empty session");
    stop();
}

// ---------------------------------------------------------------------------
// Accept loop

void koSessionServer::accept()
{
    try {
        while (!stopping) {
            // Only a failure to accept ends the loop; one bad connection must
            // not shut the door for the ones after it.
            const std::shared_ptr<koSocketLink> link = acceptConnection();
            handleConnection(link);
        }
    } catch (const koConnectionClosed&) {
    } catch (const std::exception& e) {
        if (!stopping)
            koLog::error("Stop accepting clients:%s", e.what());
    } catch (...) {
        if (!stopping)
            koLog::error("Stop accepting clients:%s", "unknown exception");
    }
    {
        Lock lock(mutex);
        stopping = true;
    }
    rosterChanged.notify_all();
}

std::shared_ptr<koSocketLink> koSessionServer::acceptConnection()
{
    if (pipe)
        return std::make_shared<koSocketLink>(*pipe, -1.0);
    return std::make_shared<koSocketLink>(*boundLink);
}

// On the accept thread, which must never wait on a connection: hands the
// connection to a handshake job, or closes it at once when a bound is reached.
void koSessionServer::handleConnection(const std::shared_ptr<koSocketLink>& link)
{
    const std::string address = peerAddress(*link);
    const bool tunnel = !pipe;
    koSessionHandshakeGate::Outcome outcome = koSessionHandshakeGate::Outcome::Closed;
    try {
        outcome = handshakes.tryRun(link, address, [this, link, address, tunnel] { handshake(link, address, tunnel); });
    } catch (const std::exception& e) {
        refuse(koLog::Level::Error, address, std::string("Unable to handle request:") + e.what());
        return;
    }
    switch (outcome) {
    case koSessionHandshakeGate::Outcome::TooManyFromAddress:
        refuse(koLog::Level::Info, address,
               "Refused a connection from " + address + ": "
                   + std::to_string(MaxHandshakesPerAddress) + " handshakes from there are under way");
        break;
    case koSessionHandshakeGate::Outcome::TooManyInAll:
        refuse(koLog::Level::Info, address,
               "Refused a connection from " + address + ": " + std::to_string(MaxHandshakes)
                   + " handshakes are under way");
        break;
    case koSessionHandshakeGate::Outcome::Started:
    case koSessionHandshakeGate::Outcome::Closed:
        break;
    }
}

void koSessionServer::handshake(const std::shared_ptr<koSocketLink>& link, const std::string& address, bool tunnel)
{
    try {
        link->setRecvTimeout(HandshakeTimeoutSeconds);
        if (tunnel && !processHttpHeader(link.get())) {
            refuse(koLog::Level::Info, address,
                   "Refused a connection from " + address + ": its tunnel line names another session");
            return;
        }
        handleRequest(link, address);
    } catch (const std::exception& e) {
        // A handshake that stop cut short is no error of its own.
        if (stopping)
            return;
        if (handshakes.hasExpired(link.get()))
            refuse(koLog::Level::Error, address,
                   "Unable to handle request:Handshake of " + link->getPeerName() + " timed out after "
                       + std::to_string(int(HandshakeTimeoutSeconds)) + " s in all");
        else
            refuse(koLog::Level::Error, address, std::string("Unable to handle request:") + e.what());
    }
}

// The tunnel header, read before any cipher: a line that ends with an empty
// line. Its first word decides the answer; its session field, when this
// server knows its session, decides whether the connection goes on at all.
// The version and mode fields are the client's business.
bool koSessionServer::processHttpHeader(koSocketLink* link)
{
    const std::string text = koSessionWire::readTunnelHeader(*link, "Tunnel request");
    std::string expected;
    {
        Lock lock(mutex);
        expected = sessionHash;
    }
    if (!expected.empty() && koSessionWire::getTunnelSessionHash(text) != expected)
        return false;
    if (text.compare(0, 7, "CONNECT") == 0)
        link->send(tunnelAnswer, sizeof tunnelAnswer - 1);
    return true;
}

void koSessionServer::handleRequest(const std::shared_ptr<koNetLink>& link, const std::string& address)
{
    koSessionWire::setUpCipher(link, false);
    // The cipher's exchange left nothing unread behind, so a fresh stream
    // picks up the request where the exchange ended.
    koNetStream requestStream(link);
    const std::uint32_t request = requestStream.getValue<std::uint32_t>();
    switch (request) {
    case koSessionWire::RequestJoin:
        if (checkVersion(requestStream))
            acceptClient(link, address);
        else
            ++refusedConnections;
        break;
    case koSessionWire::RequestStop:
        endedForGood = true;
        endSession(QStringLiteral("stopped by a participant"));
        break;
    case koSessionWire::RequestAsyncStream:
        acceptAsyncStream(link, address);
        break;
    case koSessionWire::RequestDownloadScene:
        downloadScene(link);
        break;
    case koSessionWire::RequestUploadScene:
        uploadScene(link);
        break;
    default:
        // Released unanswered.
        break;
    }
}

// The server's side of the version exchange: read the client's display
// version, answer with its own, the number of participants and their names
// (texts as a 32-bit count of UTF-16 units, then the units), then flush. The
// answer is the same whether or not the versions match; on a mismatch the
// caller just drops the connection and the client reports the error. The
// names are copied under the mutex; the exchange itself runs without it so a
// slow client never holds up stop or the peers.
bool koSessionServer::checkVersion(koNetStream& stream)
{
    const QString theirs = koSessionHandshake::readVersion(stream);

    QStringList names;
    {
        Lock lock(mutex);
        for (const auto& peer : clients)
            names.append(peer->copyUser().getName());
    }

    const QString own = koSessionHandshake::answerVersion(stream, names);
    return own == theirs;
}

// ---------------------------------------------------------------------------
// Peers and roster

// Only the steps that touch the roster run under the mutex: taking an
// identifier and a colour, and the entry into the roster with its broadcast.
// The participant's record is read in between, with both held for it.
void koSessionServer::acceptClient(std::shared_ptr<koNetLink> link, const std::string& address)
{
    const Admission admission = reserveAdmission(address);
    auto peer = std::make_shared<koSessionServerPeer>();
    try {
        peer->accept(this, changeList, link, admission.userId, admission.colorIndex);
    } catch (...) {
        releaseAdmission(admission.userId);
        throw;
    }
    addClient(peer, address);
}

// The second link goes only to the participant's own address, once, shortly
// after its join: the identifier alone is easy to guess.
void koSessionServer::acceptAsyncStream(std::shared_ptr<koNetLink> link, const std::string& address)
{
    unsigned short userId = 0;
    {
        koNetStream stream(link);
        userId = koSessionHandshake::readSecondLinkUser(stream);
    }
    bool granted = false;
    {
        Lock lock(mutex);
        granted = secondLinks.take(userId, address);
    }
    const Peers matching = granted ? findAdmitted(userId) : Peers();
    if (matching.empty()) {
        refuse(koLog::Level::Warning, address,
               "Refused a second link for participant " + std::to_string(userId) + " from " + address
                   + ": not that participant's own fresh join");
        return;
    }
    // Outside the mutex: the pairing writes to the network, and the last
    // share of a peer that stop dropped meanwhile may go here.
    for (const auto& peer : matching)
        peer->acceptAsyncLink(asyncChangeList, link);
}

void koSessionServer::addClient(const std::shared_ptr<koSessionServerPeer>& client, const std::string& address)
{
    std::shared_ptr<koSessionServerPeer> refused;
    {
        // A second link waiting for this participant finds it either still
        // admitting or in the roster, never in neither.
        Lock lock(mutex);
        releaseAdmission(lock, client->getUserId());
        if (running && !stopping) {
            clients.push_back(client);
            arrivals[client->getUserId()] = {address, std::chrono::system_clock::now()};
            ++joins;
            // Only an admitted participant keeps the session from ending empty.
            waitingForFirstClient = false;
            sendUpdatedUsers(lock);
            // Its threads may have ended, and asked for the removal, before
            // it was in the roster: ask again so it cannot stay as a ghost.
            if (!client->isConnected())
                checkClients();
        } else {
            // A stop came during the admission: the newcomer goes too.
            refused = client;
        }
    }
    if (refused) {
        koLog::warning("Session stopped while admitting participant %u", unsigned(refused->getUserId()));
        return;
    }
    const koSessionUser user = client->copyUser();
    koLog::info("Participant %u \"%s\" joined", unsigned(user.getId()), user.getName().toUtf8().constData());
}

void koSessionServer::sendUpdatedUsers()
{
    Lock lock(mutex);
    sendUpdatedUsers(lock);
}

// The walk and the push both stay under the mutex: the roster cannot change
// under the walk, and two broadcasts cannot overtake each other in the list,
// so the newest roster is always the one that stays there.
void koSessionServer::sendUpdatedUsers(const Lock& held)
{
    checkHeld(held);
    std::vector<koSessionUser> users;
    users.reserve(clients.size());
    std::map<unsigned short, int> spectators;
    for (const auto& peer : clients) {
        koSessionUser user = peer->copyUser();
        if (user.getIsSpectator())
            ++spectators[user.getSpectatedUserId()];
        users.push_back(user);
    }
    for (koSessionUser& user : users) {
        const auto found = spectators.find(user.getId());
        user.setSpectatorCount(found == spectators.end() ? 0 : found->second);
    }
    changeList->push(koSessionUsersCommand(users));
}

void koSessionServer::removeStoppedClients()
{
    Peers removed;
    {
        Lock lock(mutex);
        Peers kept;
        for (const auto& peer : clients)
            (peer->isConnected() ? kept : removed).push_back(peer);
        if (removed.empty())
            return;
        clients.swap(kept);
        for (const auto& peer : removed) {
            const koSessionUser user = peer->copyUser();
            koLog::info("Participant %u \"%s\" left", unsigned(user.getId()), user.getName().toUtf8().constData());
            forgetPose(user.getId());
            arrivals.erase(user.getId());
        }
        leaves += removed.size();
        rosterChanged.notify_all();
        sendUpdatedUsers(lock);
        if (clients.empty() && stopsWhenEmpty) {
            koLog::info("Stopping session after last client has disconnected");
            stop(lock, removed);
        }
    }
    // Destroying a peer joins its threads, which may be waiting for the mutex.
    removed.clear();
}

void koSessionServer::forgetPose(unsigned short userId)
{
    const QByteArray stateId = koSessionChange(koSessionUserPoseCommand(userId, {}), 0).getStateId();
    changeList->removeState(stateId);
    asyncChangeList->removeState(stateId);
}

void koSessionServer::setMaxRetainedBytes(std::uint64_t bytes)
{
    changeList->setMaxHeldBytes(bytes);
    asyncChangeList->setMaxHeldBytes(bytes);
}

// Skips 0 and every identifier that a present or arriving participant holds,
// so a wrapped counter never hands out someone else's identity.
int koSessionServer::getNewUserId(const Lock& held)
{
    for (int tries = 0; tries <= UserIdCount; ++tries) {
        const auto userId = static_cast<unsigned short>(nextUserId.fetch_add(1));
        if (userId != 0 && !isUserIdTaken(held, userId))
            return userId;
    }
    throw koNetError("No user identifier is free: " + std::to_string(UserIdCount) + " participants are present");
}

bool koSessionServer::isUserIdTaken(const Lock& held, unsigned short userId)
{
    checkHeld(held);
    if (keptUserIds.count(userId) != 0)
        return true;
    for (const auto& peer : clients)
        if (peer->getUserId() == userId)
            return true;
    return isAdmitting(held, userId);
}

bool koSessionServer::isAdmitting(const Lock& held, unsigned short userId)
{
    checkHeld(held);
    return std::any_of(admissions.begin(), admissions.end(),
                       [userId](const Admission& admission) { return admission.userId == userId; });
}

int koSessionServer::getNewColorIndex(const Lock& held)
{
    checkHeld(held);
    for (int index = 0;; ++index) {
        bool taken = std::any_of(admissions.begin(), admissions.end(),
                                 [index](const Admission& admission) { return admission.colorIndex == index; });
        for (const auto& peer : clients)
            taken = taken || peer->getColorIndex() == index;
        if (!taken)
            return index;
    }
}

// The second link's ticket is issued here already: the participant may ask
// for it as soon as it has read its success marker, which comes before the
// roster entry.
koSessionServer::Admission koSessionServer::reserveAdmission(const std::string& address)
{
    Lock lock(mutex);
    const Admission admission{static_cast<unsigned short>(getNewUserId(lock)), getNewColorIndex(lock)};
    admissions.push_back(admission);
    secondLinks.issue(admission.userId, address);
    return admission;
}

// The admission ends within its handshake's deadline; the wait has the same
// bound of its own, so that nothing else need be right for it to end.
koSessionServer::Peers koSessionServer::findAdmitted(unsigned short userId)
{
    Peers matching;
    Lock lock(mutex);
    rosterChanged.wait_for(lock, toMilliseconds(HandshakeTimeoutSeconds), [&] {
        matching.clear();
        for (const auto& peer : clients)
            if (peer->getUserId() == userId)
                matching.push_back(peer);
        return !matching.empty() || !isAdmitting(lock, userId) || stopping;
    });
    return matching;
}

void koSessionServer::releaseAdmission(unsigned short userId)
{
    Lock lock(mutex);
    releaseAdmission(lock, userId);
}

void koSessionServer::releaseAdmission(const Lock& held, unsigned short userId)
{
    checkHeld(held);
    admissions.erase(std::remove_if(admissions.begin(), admissions.end(),
                                    [userId](const Admission& admission) { return admission.userId == userId; }),
                     admissions.end());
    rosterChanged.notify_all();
}

void koSessionServer::checkHeld(const Lock& held) const
{
    assert(held.mutex() == &mutex && held.owns_lock());
    static_cast<void>(held);
}

// ---------------------------------------------------------------------------
// Scene store

void koSessionServer::setMaxSceneSize(std::uint64_t bytes)
{
    maxSceneSize = bytes;
}

std::uint64_t koSessionServer::getMaxSceneSize() const
{
    return maxSceneSize;
}

// A transfer over the gate's bounds is closed at once, its refusal logged
// like any other at the door.
koSessionTransferGate::Ticket koSessionServer::enterTransfer(koNetLink& link, bool upload)
{
    const std::string address = peerAddress(link);
    koSessionTransferGate::Ticket ticket = transferGate.enter(address, upload);
    if (!ticket) {
        refuse(koLog::Level::Warning, address,
               std::string("Scene ") + (upload ? "upload" : "download") + " of " + link.getPeerName()
                   + " refused: too many transfers running");
        link.shutdown();
    }
    return ticket;
}

void koSessionServer::uploadScene(std::shared_ptr<koNetLink> link)
{
    koSessionTransferGate::Ticket ticket = enterTransfer(*link, true);
    if (!ticket)
        return;
    // A big scene may pause longer than a handshake may, but an uploader
    // that sends nothing at all must not hold its job forever.
    link->setRecvTimeout(koSessionTransferGate::StallSeconds);
    actionManager.run([this, link, ticket]() mutable { receiveScene(std::move(link), std::move(ticket)); });
}

void koSessionServer::downloadScene(std::shared_ptr<koNetLink> link)
{
    koSessionTransferGate::Ticket ticket = enterTransfer(*link, false);
    if (!ticket)
        return;
    // Nothing more is read; a reader that stops taking bytes is cut by the
    // link's own limit on a closed window.
    link->setRecvTimeout(0);
    actionManager.run([this, link, ticket]() mutable { sendScene(std::move(link), std::move(ticket)); });
}

// The upload job: name field, size field, then the data in pieces. The new
// scene replaces the stored one only once it has arrived whole, so a failed
// or aborted upload leaves the store as it was. Nothing is sent back.
void koSessionServer::receiveScene(std::shared_ptr<koNetLink> link, koSessionTransferGate::Ticket ticket)
{
    try {
        addTransfer(link);
        const std::string peer = link->getPeerName();
        auto data = std::make_shared<koSessionSceneBuffer>();
        std::string name;
        {
            koNetStream stream(link);
            name = koSessionSceneWire::getName(stream, peer);
            const std::uint64_t size = koSessionSceneWire::getSize(stream, maxSceneSize, peer);
            koSessionSceneWire::getData(stream, *data, static_cast<std::size_t>(size));
        }
        link.reset();
        const std::size_t size = data->size();
        const std::shared_ptr<const koSessionSceneBuffer> stored = data;
        std::uint64_t generation = 0;
        {
            Lock lock(mutex);
            sceneData.swap(data);
            sceneName = name;
            generation = ++sceneGeneration;
        }
        // Stored: the downloads that waited for this upload may go on.
        ticket.reset();
        keepScene(generation, name, *stored);
        // The previous scene (now in `data`) is freed here, outside the mutex,
        // or later by the last download still sending it.
        data.reset();
        sceneBytes += size;
        koLog::info("Scene \"%s\" uploaded by %s: %zu bytes", name.c_str(), peer.c_str(), size);
    } catch (const std::exception& e) {
        koLog::error("Upload failed: %s", e.what());
    } catch (...) {
        koLog::error("Upload failed: %s", "unknown exception");
    }
}

// The download job: sends the stored scene straight from the shared buffer;
// a later upload swaps in a new one without disturbing this send. When no
// scene is stored, nothing is sent at all and the closed link tells the
// client.
void koSessionServer::sendScene(std::shared_ptr<koNetLink> link, koSessionTransferGate::Ticket ticket)
{
    try {
        addTransfer(link);
        const std::string peer = link->getPeerName();
        // An upload still arriving may be the scene just announced.
        if (!transferGate.waitForEarlierUploads(ticket))
            koLog::warning("Download of %s waited %lld s for an upload in progress; it gets the scene stored now",
                           peer.c_str(), static_cast<long long>(koSessionTransferGate::UploadWaitLimit.count()));
        std::shared_ptr<const koSessionSceneBuffer> data;
        std::string name;
        {
            Lock lock(mutex);
            data = sceneData;
            name = sceneName;
        }
        if (!data) {
            koLog::info("No scene stored for the download of %s", peer.c_str());
            return;
        }
        koNetStream stream(link);
        koSessionSceneWire::putName(stream, name);
        stream.putValueSize(data->size());
        stream.flush();
        koSessionSceneWire::putData(stream, data->data(), data->size());
        stream.flush();
        sceneBytes += data->size();
        koLog::info("Scene \"%s\" downloaded by %s: %zu bytes", name.c_str(), peer.c_str(), data->size());
    } catch (const std::exception& e) {
        koLog::error("Download failed: %s", e.what());
    } catch (...) {
        koLog::error("Download failed: %s", "unknown exception");
    }
}

// ---------------------------------------------------------------------------
// State directory

void koSessionServer::setStateDirectory(std::shared_ptr<koSessionStateDirectory> directory)
{
    stateDirectory = std::move(directory);
}

// The kept changes go into the list in their order, so merging and scene
// loads treat them as they did when they first came.
void koSessionServer::restoreState()
{
    endedForGood = false;
    if (!stateDirectory)
        return;
    auto scene = std::make_shared<koSessionSceneBuffer>();
    std::string name;
    const bool hasScene = stateDirectory->readScene(name, *scene);
    stateRecorder = std::make_unique<koSessionStateRecorder>(stateDirectory->logFileName(), changeList);
    const std::vector<std::shared_ptr<koSessionChange>> kept = stateRecorder->restore();
    std::set<unsigned short> userIds;
    for (const auto& change : kept) {
        changeList->push(change);
        userIds.insert({change->getChangedBy(), change->getDestinationUserId()});
    }
    userIds.erase(0);
    {
        Lock lock(mutex);
        keptUserIds.swap(userIds);
        if (hasScene) {
            sceneData = std::move(scene);
            sceneName = name;
        }
    }
    stateRecorder->start();
    koLog::info("Restored %zu changes%s from %s", kept.size(), hasScene ? " and the scene" : "",
                stateDirectory->getPath().toLocal8Bit().constData());
}

// Outside the server's mutex: a large scene takes a while to reach the disk.
void koSessionServer::keepScene(std::uint64_t generation, const std::string& name, const koSessionSceneBuffer& data)
{
    if (!stateDirectory)
        return;
    try {
        stateDirectory->writeScene(generation, name, data);
    } catch (const std::exception& e) {
        koLog::error("Unable to keep the scene on disk: %s", e.what());
    }
}

void koSessionServer::finishState()
{
    if (!stateRecorder)
        return;
    stateRecorder->stop();
    stateRecorder.reset();
    // An upload whose write failed (a full disk) gets another chance; a
    // written one is not written again.
    std::shared_ptr<const koSessionSceneBuffer> scene;
    std::string name;
    std::uint64_t generation = 0;
    {
        Lock lock(mutex);
        scene = sceneData;
        name = sceneName;
        generation = sceneGeneration;
    }
    if (scene && !endedForGood)
        keepScene(generation, name, *scene);
    if (endedForGood) {
        stateDirectory->clear();
        koLog::info("Stopped for everybody: cleared the kept session in %s",
                    stateDirectory->getPath().toLocal8Bit().constData());
    }
}

void koSessionServer::addTransfer(const std::shared_ptr<koNetLink>& link)
{
    Lock lock(mutex);
    if (transfersCut) {
        link->shutdown();
        return;
    }
    transfers.erase(std::remove_if(transfers.begin(), transfers.end(),
                                   [](const std::weak_ptr<koNetLink>& entry) { return entry.expired(); }),
                    transfers.end());
    transfers.push_back(link);
}

void koSessionServer::cutTransfers()
{
    transferGate.cut();
    Lock lock(mutex);
    transfersCut = true;
    for (const auto& entry : transfers) {
        if (auto link = entry.lock())
            link->shutdown();
    }
    transfers.clear();
}
