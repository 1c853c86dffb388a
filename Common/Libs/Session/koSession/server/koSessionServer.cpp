#include "koSessionServer.h"

#include "koSessionChange.h"
#include "koSessionChangeList.h"
#include "koSessionSceneWire.h"
#include "koSessionClient.h"
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
#include "koVersionInfo.h"

#include <QStringList>

#include <algorithm>
#include <chrono>
#include <map>
#include <system_error>

namespace {

const char tunnelAnswer[] = "HTTP/1.1 200 OK\r\n\r\n";

// User identifiers for the whole process: never reset, so a restarted or a
// second server never hands out an identifier twice.
std::atomic<int> nextUserId{1};

using Peers = std::vector<std::shared_ptr<koSessionClient>>;

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
            std::lock_guard<std::recursive_mutex> lock(mutex);
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

void koSessionServer::start(const QString& pipeName, int port)
{
    if (acceptThread.joinable())
        throw std::logic_error("koSessionServer::start needs a wait() after the previous run");
    stopping = false;
    running = true;
    waitingForFirstClient = true;
    changeList->clear();
    asyncChangeList->clear();
    // A restart with the other kind of transport drops the earlier one, so
    // that accept and getPort only ever see the transport of this run.
    std::lock_guard<std::recursive_mutex> lock(mutex);
    if (!pipeName.isEmpty()) {
        pipe = std::make_unique<koSocketPipe>(pipeName.toStdString());
        boundLink.reset();
    } else {
        boundLink = std::make_unique<koBoundSocketLink>(port);
        pipe.reset();
    }
    acceptThread = std::thread([this] { accept(); });
    actionManager.run([this] { waitForFirstClient(EmptySessionSeconds); });
}

void koSessionServer::stop()
{
    Peers dropped;
    {
        std::lock_guard<std::recursive_mutex> lock(mutex);
        if (!running)
            return;
        stopping = true;
        if (pipe)
            pipe->shutdown();
        if (boundLink)
            boundLink->shutdown();
        if (auto link = handshakeLink.lock())
            link->shutdown();
        dropped.swap(clients);
        running = false;
    }
    // Destroying a peer joins its threads, which may be waiting for the mutex.
    dropped.clear();
}

void koSessionServer::wait()
{
    if (acceptThread.joinable()) {
        if (acceptThread.get_id() == std::this_thread::get_id())
            throw std::system_error(std::make_error_code(std::errc::resource_deadlock_would_occur),
                                    "koSessionServer::wait on the accept thread");
        acceptThread.join();
    }
    actionManager.waitAll();
}

int koSessionServer::getPort()
{
    return boundLink ? boundLink->getAddress().getPort() : 0;
}

void koSessionServer::checkClients()
{
    actionManager.run([this] { removeStoppedClients(); });
}

void koSessionServer::waitForFirstClient(int seconds)
{
    const auto started = std::chrono::system_clock::now();
    for (;;) {
        if (!running || !waitingForFirstClient || stopping)
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        const auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(
            std::chrono::system_clock::now() - started);
        if (elapsed.count() > seconds)
            break;
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
    stopping = true;
}

std::shared_ptr<koSocketLink> koSessionServer::acceptConnection()
{
    if (pipe)
        return std::make_shared<koSocketLink>(*pipe, -1.0);
    return std::make_shared<koSocketLink>(*boundLink);
}

void koSessionServer::handleConnection(const std::shared_ptr<koSocketLink>& link)
{
    try {
        setHandshakeLink(link);
        link->setRecvTimeout(HandshakeTimeoutSeconds);
        if (!pipe)
            processHttpHeader(link.get());
        waitingForFirstClient = false;
        handleRequest(link);
    } catch (const std::exception& e) {
        // A handshake that stop cut short is no error of its own.
        if (!stopping)
            koLog::error("Unable to handle request:%s", e.what());
    } catch (...) {
        if (!stopping)
            koLog::error("Unable to handle request:%s", "unknown exception");
    }
    setHandshakeLink(nullptr);
}

void koSessionServer::setHandshakeLink(const std::shared_ptr<koNetLink>& link)
{
    std::lock_guard<std::recursive_mutex> lock(mutex);
    handshakeLink = link;
    // A stop that came between the accept and now would otherwise miss it.
    if (link && stopping)
        link->shutdown();
}

// The tunnel header, read before any cipher: a line that ends with an empty
// line. Only its first word matters; the session, version and mode fields are
// the client's business.
void koSessionServer::processHttpHeader(koSocketLink* link)
{
    const std::string text = koSessionWire::readTunnelHeader(*link, "Tunnel request");
    if (text.compare(0, 7, "CONNECT") == 0)
        link->send(tunnelAnswer, sizeof tunnelAnswer - 1);
}

void koSessionServer::handleRequest(const std::shared_ptr<koNetLink>& link)
{
    koSessionWire::setUpCipher(link, false);
    // The cipher's exchange left nothing unread behind, so a fresh stream
    // picks up the request where the exchange ended.
    koNetStream requestStream(link);
    const std::uint32_t request = requestStream.getValue<std::uint32_t>();
    switch (request) {
    case koSessionWire::RequestJoin:
        if (checkVersion(requestStream))
            acceptClient(link);
        break;
    case koSessionWire::RequestStop:
        stop();
        break;
    case koSessionWire::RequestAsyncStream:
        acceptAsyncStream(link);
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
    const QString own = QString::fromUtf8(koVersionInfo::the().getDisplayVersionYearString().c_str());
    const QString theirs = koSessionWire::getText(stream);

    QStringList names;
    {
        std::lock_guard<std::recursive_mutex> lock(mutex);
        for (const auto& peer : clients)
            names.append(peer->copyUser().getName());
    }

    koSessionWire::putText(stream, own);
    koSessionWire::putNames(stream, names);
    stream.flush();
    return own == theirs;
}

// ---------------------------------------------------------------------------
// Peers and roster

void koSessionServer::acceptClient(std::shared_ptr<koNetLink> link)
{
    const int userId = getNewUserId();
    const int colorIndex = getNewColorIndex();
    auto peer = std::make_shared<koSessionClient>();
    peer->accept(this, changeList, link, static_cast<unsigned short>(userId), colorIndex);
    addClient(peer);
}

void koSessionServer::acceptAsyncStream(std::shared_ptr<koNetLink> link)
{
    unsigned short userId = 0;
    {
        koNetStream stream(link);
        stream.getValue(userId);
    }
    Peers matching;
    {
        std::lock_guard<std::recursive_mutex> lock(mutex);
        for (const auto& peer : clients)
            if (peer->getUserId() == userId)
                matching.push_back(peer);
    }
    // Outside the mutex: the pairing writes to the network, and the last
    // share of a peer that stop dropped meanwhile may go here.
    for (const auto& peer : matching)
        peer->acceptAsyncLink(asyncChangeList, link);
}

void koSessionServer::addClient(const std::shared_ptr<koSessionClient>& client)
{
    std::shared_ptr<koSessionClient> refused;
    {
        std::lock_guard<std::recursive_mutex> lock(mutex);
        if (running && !stopping) {
            clients.push_back(client);
            sendUpdatedUsers();
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
    // The walk and the push both stay under the mutex: the roster cannot
    // change under the walk, and two broadcasts cannot overtake each other in
    // the list, so the newest roster is always the one that stays there.
    std::lock_guard<std::recursive_mutex> lock(mutex);
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
        std::lock_guard<std::recursive_mutex> lock(mutex);
        Peers kept;
        for (const auto& peer : clients)
            (peer->isConnected() ? kept : removed).push_back(peer);
        if (removed.empty())
            return;
        clients.swap(kept);
        for (const auto& peer : removed)
            forgetPose(peer->getUserId());
        sendUpdatedUsers();
        if (clients.empty()) {
            koLog::info("Stopping session after last client has disconnected");
            stop();
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

std::uint64_t koSessionServer::getClientCount()
{
    std::lock_guard<std::recursive_mutex> lock(mutex);
    return clients.size();
}

int koSessionServer::getNewUserId()
{
    return nextUserId.fetch_add(1);
}

int koSessionServer::getNewColorIndex()
{
    std::lock_guard<std::recursive_mutex> lock(mutex);
    for (int index = 0;; ++index) {
        bool taken = false;
        for (const auto& peer : clients)
            taken = taken || peer->getColorIndex() == index;
        if (!taken)
            return index;
    }
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

void koSessionServer::uploadScene(std::shared_ptr<koNetLink> link)
{
    koSessionTransferGate::Ticket ticket = transferGate.enter(link->getPeerName(), true);
    if (!ticket) {
        link->shutdown();
        return;
    }
    // A big scene may pause longer than a handshake may, but an uploader
    // that sends nothing at all must not hold its job forever.
    link->setRecvTimeout(koSessionTransferGate::StallSeconds);
    actionManager.run([this, link, ticket]() mutable { receiveScene(std::move(link), std::move(ticket)); });
}

void koSessionServer::downloadScene(std::shared_ptr<koNetLink> link)
{
    koSessionTransferGate::Ticket ticket = transferGate.enter(link->getPeerName(), false);
    if (!ticket) {
        link->shutdown();
        return;
    }
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
        auto data = std::make_shared<std::vector<char>>();
        std::string name;
        {
            koNetStream stream(link);
            name = koSessionSceneWire::getName(stream, peer);
            const std::uint64_t size = koSessionSceneWire::getSize(stream, maxSceneSize, peer);
            koSessionSceneWire::getData(stream, *data, static_cast<std::size_t>(size));
        }
        link.reset();
        const std::size_t size = data->size();
        {
            std::lock_guard<std::recursive_mutex> lock(mutex);
            sceneData.swap(data);
            sceneName = name;
        }
        // Stored: the downloads that waited for this upload may go on.
        ticket.reset();
        // The previous scene (now in `data`) is freed here, outside the mutex,
        // or later by the last download still sending it.
        data.reset();
        koLog::info("Scene \"%s\" uploaded by %s: %zu bytes", name.c_str(), peer.c_str(), size);
    } catch (const std::exception& e) {
        koLog::error("Upload failed: %s", e.what());
    } catch (...) {
        koLog::error("Upload failed: %s", "unknown exception");
    }
}

// The download job: sends the stored scene straight from the shared vector;
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
        std::shared_ptr<const std::vector<char>> data;
        std::string name;
        {
            std::lock_guard<std::recursive_mutex> lock(mutex);
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
        koLog::info("Scene \"%s\" downloaded by %s: %zu bytes", name.c_str(), peer.c_str(), data->size());
    } catch (const std::exception& e) {
        koLog::error("Download failed: %s", e.what());
    } catch (...) {
        koLog::error("Download failed: %s", "unknown exception");
    }
}

void koSessionServer::addTransfer(const std::shared_ptr<koNetLink>& link)
{
    std::lock_guard<std::recursive_mutex> lock(mutex);
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
    std::lock_guard<std::recursive_mutex> lock(mutex);
    transfersCut = true;
    for (const auto& entry : transfers) {
        if (auto link = entry.lock())
            link->shutdown();
    }
    transfers.clear();
}
