#include "koSessionRelay.h"

#include "koSessionChange.h"
#include "koSessionChangeList.h"
#include "koSessionEndCommand.h"
#include "koSessionHandshake.h"
#include "koSessionServerPeer.h"
#include "koSessionUser.h"
#include "koSessionUserPoseCommand.h"
#include "koSessionUsersCommand.h"
#include "koSessionWire.h"

#include "koBoundSocketLink.h"
#include "koConnectionClosed.h"
#include "koLog.h"
#include "koNetError.h"
#include "koNetStream.h"
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

} // namespace

koSessionRelay::koSessionRelay()
    : changeList(std::make_shared<koSessionChangeList>()),
      asyncChangeList(std::make_shared<koSessionChangeList>())
{
    setMaxRetainedBytes(koSessionServer::DefaultMaxRetainedBytes);
}

koSessionRelay::~koSessionRelay()
{
    try {
        stop();
        // The scene goes with the server, so nothing is lost by cutting the
        // transfers, and wait() cannot hang on a peer that stopped moving bytes.
        scenes.cutTransfers();
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

// ---------------------------------------------------------------------------
// Lifecycle

void koSessionRelay::start(const QString& pipeName, int port, const QString& listenAddress)
{
    if (acceptThread.joinable())
        throw std::logic_error("koSessionRelay::start needs a wait() after the previous run");
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
    for (auto* counter : {&joins, &leaves, &refusedConnections, &changesRelayed, &bytesRelayed})
        *counter = 0;
    scenes.resetBytesMoved();
    handshakes.open();
    acceptThread = std::thread([this] { accept(); });
    if (stopsWhenEmpty)
        actionManager.run([this] { waitForFirstClient(koSessionServer::EmptySessionSeconds); });
}

void koSessionRelay::stop()
{
    Peers dropped;
    {
        Lock lock(mutex);
        stop(lock, dropped);
    }
    // Destroying a peer joins its threads, which may be waiting for the mutex.
    dropped.clear();
}

void koSessionRelay::stop(const Lock& held, Peers& dropped)
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

void koSessionRelay::endSession(const QString& reason)
{
    if (!running)
        return;
    koLog::info("Ending the session for everybody: %s", reason.toUtf8().constData());
    asyncChangeList->push(koSessionEndCommand(reason));
    {
        Lock lock(mutex);
        rosterChanged.wait_for(lock, toMilliseconds(koSessionServer::EndNoticeSeconds), [this] { return !running || clients.empty(); });
    }
    stop();
}

void koSessionRelay::wait()
{
    if (acceptThread.joinable()) {
        if (acceptThread.get_id() == std::this_thread::get_id())
            throw std::system_error(std::make_error_code(std::errc::resource_deadlock_would_occur),
                                    "koSessionRelay::wait on the accept thread");
        acceptThread.join();
    }
    // Handshakes still running end within their deadline.
    handshakes.join();
    actionManager.waitAll();
    doorLog.flush();
    state.finish(scenes);
}

int koSessionRelay::getPort()
{
    return boundLink ? boundLink->getAddress().getPort() : 0;
}

void koSessionRelay::setSessionId(const QString& sessionId)
{
    const std::string hash = sessionId.isEmpty() ? std::string() : koSessionWire::sessionHash(sessionId).toStdString();
    Lock lock(mutex);
    sessionHash = hash;
}

void koSessionRelay::setStopsWhenEmpty(bool stops)
{
    stopsWhenEmpty = stops;
}

koSessionServerStatistics koSessionRelay::getStatistics()
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
    statistics.sceneBytes = scenes.getBytesMoved();
    return statistics;
}

std::vector<koSessionServerParticipant> koSessionRelay::getParticipants()
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

void koSessionRelay::countRelayed(std::size_t bytes)
{
    ++changesRelayed;
    bytesRelayed += bytes;
}

void koSessionRelay::refuse(koLog::Level level, const std::string& address, const std::string& line)
{
    ++refusedConnections;
    doorLog.write(level, address, line);
}

void koSessionRelay::setNextUserId(int value)
{
    nextUserId = value;
}

void koSessionRelay::checkClients()
{
    actionManager.run([this] { removeStoppedClients(); });
}

// Stops once the whole seconds passed on the wall clock exceed `seconds`.
void koSessionRelay::waitForFirstClient(int seconds)
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

void koSessionRelay::accept()
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

std::shared_ptr<koSocketLink> koSessionRelay::acceptConnection()
{
    if (pipe)
        return std::make_shared<koSocketLink>(*pipe, -1.0);
    return std::make_shared<koSocketLink>(*boundLink);
}

// On the accept thread, which must never wait on a connection: hands the
// connection to a handshake job, or closes it at once when a bound is reached.
void koSessionRelay::handleConnection(const std::shared_ptr<koSocketLink>& link)
{
    const std::string address = koSessionWire::peerHost(*link);
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
                   + std::to_string(koSessionServer::MaxHandshakesPerAddress) + " handshakes from there are under way");
        break;
    case koSessionHandshakeGate::Outcome::TooManyInAll:
        refuse(koLog::Level::Info, address,
               "Refused a connection from " + address + ": " + std::to_string(koSessionServer::MaxHandshakes)
                   + " handshakes are under way");
        break;
    case koSessionHandshakeGate::Outcome::Started:
    case koSessionHandshakeGate::Outcome::Closed:
        break;
    }
}

void koSessionRelay::handshake(const std::shared_ptr<koSocketLink>& link, const std::string& address, bool tunnel)
{
    try {
        link->setRecvTimeout(koSessionServer::HandshakeTimeoutSeconds);
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
                       + std::to_string(int(koSessionServer::HandshakeTimeoutSeconds)) + " s in all");
        else
            refuse(koLog::Level::Error, address, std::string("Unable to handle request:") + e.what());
    }
}

// The tunnel header, read before any cipher: a line that ends with an empty
// line. Its first word decides the answer; its session field, when this
// server knows its session, decides whether the connection goes on at all.
// The version and mode fields are the client's business.
bool koSessionRelay::processHttpHeader(koSocketLink* link)
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

void koSessionRelay::handleRequest(const std::shared_ptr<koNetLink>& link, const std::string& address)
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
        state.endForGood();
        endSession(QStringLiteral("stopped by a participant"));
        break;
    case koSessionWire::RequestAsyncStream:
        acceptAsyncStream(link, address);
        break;
    case koSessionWire::RequestDownloadScene:
        scenes.download(link);
        break;
    case koSessionWire::RequestUploadScene:
        scenes.upload(link);
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
bool koSessionRelay::checkVersion(koNetStream& stream)
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
void koSessionRelay::acceptClient(std::shared_ptr<koNetLink> link, const std::string& address)
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
void koSessionRelay::acceptAsyncStream(std::shared_ptr<koNetLink> link, const std::string& address)
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

void koSessionRelay::addClient(const std::shared_ptr<koSessionServerPeer>& client, const std::string& address)
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

void koSessionRelay::sendUpdatedUsers()
{
    Lock lock(mutex);
    sendUpdatedUsers(lock);
}

// The walk and the push both stay under the mutex: the roster cannot change
// under the walk, and two broadcasts cannot overtake each other in the list,
// so the newest roster is always the one that stays there.
void koSessionRelay::sendUpdatedUsers(const Lock& held)
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

void koSessionRelay::removeStoppedClients()
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

void koSessionRelay::forgetPose(unsigned short userId)
{
    const QByteArray stateId = koSessionChange(koSessionUserPoseCommand(userId, {}), 0).getStateId();
    changeList->removeState(stateId);
    asyncChangeList->removeState(stateId);
}

void koSessionRelay::setMaxSceneSize(std::uint64_t bytes)
{
    scenes.setMaxSceneSize(bytes);
}

std::uint64_t koSessionRelay::getMaxSceneSize() const
{
    return scenes.getMaxSceneSize();
}

void koSessionRelay::setMaxRetainedBytes(std::uint64_t bytes)
{
    changeList->setMaxHeldBytes(bytes);
    asyncChangeList->setMaxHeldBytes(bytes);
}

// Skips 0 and every identifier that a present or arriving participant holds,
// so a wrapped counter never hands out someone else's identity.
int koSessionRelay::getNewUserId(const Lock& held)
{
    for (int tries = 0; tries <= UserIdCount; ++tries) {
        const auto userId = static_cast<unsigned short>(nextUserId.fetch_add(1));
        if (userId != 0 && !isUserIdTaken(held, userId))
            return userId;
    }
    throw koNetError("No user identifier is free: " + std::to_string(UserIdCount) + " participants are present");
}

bool koSessionRelay::isUserIdTaken(const Lock& held, unsigned short userId)
{
    checkHeld(held);
    if (keptUserIds.count(userId) != 0)
        return true;
    for (const auto& peer : clients)
        if (peer->getUserId() == userId)
            return true;
    return isAdmitting(held, userId);
}

bool koSessionRelay::isAdmitting(const Lock& held, unsigned short userId)
{
    checkHeld(held);
    return std::any_of(admissions.begin(), admissions.end(),
                       [userId](const Admission& admission) { return admission.userId == userId; });
}

int koSessionRelay::getNewColorIndex(const Lock& held)
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
koSessionRelay::Admission koSessionRelay::reserveAdmission(const std::string& address)
{
    Lock lock(mutex);
    const Admission admission{static_cast<unsigned short>(getNewUserId(lock)), getNewColorIndex(lock)};
    admissions.push_back(admission);
    secondLinks.issue(admission.userId, address);
    return admission;
}

// The admission ends within its handshake's deadline; the wait has the same
// bound of its own, so that nothing else need be right for it to end.
koSessionRelay::Peers koSessionRelay::findAdmitted(unsigned short userId)
{
    Peers matching;
    Lock lock(mutex);
    rosterChanged.wait_for(lock, toMilliseconds(koSessionServer::HandshakeTimeoutSeconds), [&] {
        matching.clear();
        for (const auto& peer : clients)
            if (peer->getUserId() == userId)
                matching.push_back(peer);
        return !matching.empty() || !isAdmitting(lock, userId) || stopping;
    });
    return matching;
}

void koSessionRelay::releaseAdmission(unsigned short userId)
{
    Lock lock(mutex);
    releaseAdmission(lock, userId);
}

void koSessionRelay::releaseAdmission(const Lock& held, unsigned short userId)
{
    checkHeld(held);
    admissions.erase(std::remove_if(admissions.begin(), admissions.end(),
                                    [userId](const Admission& admission) { return admission.userId == userId; }),
                     admissions.end());
    rosterChanged.notify_all();
}

void koSessionRelay::checkHeld(const Lock& held) const
{
    assert(held.mutex() == &mutex && held.owns_lock());
    static_cast<void>(held);
}

// ---------------------------------------------------------------------------
// State directory

void koSessionRelay::setStateDirectory(std::shared_ptr<koSessionStateDirectory> directory)
{
    scenes.setStateDirectory(directory);
    state.setDirectory(std::move(directory));
}

void koSessionRelay::restoreState()
{
    std::set<unsigned short> userIds = state.restore(changeList, scenes);
    Lock lock(mutex);
    keptUserIds.swap(userIds);
}
