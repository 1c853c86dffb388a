#include "koSessionClient.h"

#include "koSession.h"
#include "koSessionChange.h"
#include "koSessionChangeList.h"
#include "koSessionChangeReader.h"
#include "koSessionCommand.h"
#include "koSessionCommandFactory.h"
#include "koSessionSceneBuffer.h"
#include "koSessionSceneWire.h"
#include "koSessionServer.h"
#include "koSessionUserInfoCommand.h"
#include "koSessionVersionError.h"
#include "koSessionWire.h"

#include "koCoarseClock.h"
#include "koConnectionClosed.h"
#include "koLog.h"
#include "koNetError.h"
#include "koNetLinkReceiver.h"
#include "koNetLinkSender.h"
#include "koNetProgress.h"
#include "koSocketAddress.h"
#include "koSocketLink.h"
#include "koVersionInfo.h"

#include <QApplication>
#include <QCoreApplication>
#include <QMap>
#include <QMessageBox>

#include <cstdint>

namespace {

constexpr int ServerPort = 8889;
constexpr double ConnectTimeoutSeconds = 5.0;
// Bounds each wait for the server during the handshake (and a transfer's
// connection); lifted on the command links, which may stay quiet for hours.
constexpr double HandshakeTimeoutSeconds = 30.0;
constexpr std::chrono::milliseconds MainPeriod(40);
constexpr std::chrono::milliseconds AsyncPeriod(20);
constexpr std::chrono::milliseconds SceneWaitStep(100);
const char JoinCancelled[] = "Joining the session has been cancelled";
// Changes a sending thread takes from its list per lock.
constexpr std::size_t SendBatch = 256;
// Received changes handed to the list at most at a time.
constexpr std::size_t RelayBatch = 256;
// How long leaving may spend sending what was pushed before the links close:
// a peer that reads nothing must not hold the application for longer.
constexpr std::chrono::milliseconds LastCycleLimit(1000);
// A participant that falls this far behind what the others send is removed:
// the server would otherwise hold its backlog without bound.
constexpr std::uint64_t MaxBacklogBytes = std::uint64_t(64) << 20;
constexpr std::chrono::seconds MaxBacklogAge(30);
// How often a server-role sending thread measures its participant's backlog.
constexpr std::chrono::seconds BacklogCheckInterval(1);

// The process-wide answerer of the scene question; empty means the message box.
struct SceneQuestionSlot
{
    // Guards `question`; taken by setSceneQuestion and by join when it asks.
    std::mutex mutex;
    koSessionClient::SceneQuestion question;
};

SceneQuestionSlot& sceneQuestionSlot()
{
    static SceneQuestionSlot slot;
    return slot;
}

// Whether a server-role peer passes `change` on to its participant: not the
// participant's own change unless it echoes, not a change addressed to another.
bool isForParticipant(const koSessionChange& change, unsigned short participant)
{
    if (!change.isEchoing() && change.getChangedBy() == participant)
        return false;
    const unsigned short destination = change.getDestinationUserId();
    return destination == 0 || destination == participant;
}

// Only the server ends a session for everybody: relayed, a participant's end
// notice would send the others away, or one of them unseen.
bool isEndNotice(const koSessionChange& change)
{
    static const unsigned int endType = koSessionCommandFactory::the().getType("EndSession");
    return change.getCommandType() == endType;
}

// Ends the progress that a transfer began, also when the transfer throws:
// a progress left running would keep the host's progress bar up after the
// error reached the user.
class TransferProgress
{
public:
    TransferProgress(const char* text, std::size_t total)
    {
        koNetProgress::start(text, static_cast<double>(total));
    }
    ~TransferProgress()
    {
        try {
            end();
        } catch (...) {
        }
    }
    TransferProgress(const TransferProgress&) = delete;
    TransferProgress& operator=(const TransferProgress&) = delete;

    void end()
    {
        if (!running)
            return;
        running = false;
        koNetProgress::start(std::string(), 0.0);
    }

    // Before each piece: stops at the user's abort, otherwise counts the piece.
    static bool advance(std::size_t piece)
    {
        if (koNetProgress::isAborting())
            return false;
        koNetProgress::add(static_cast<double>(piece));
        return true;
    }

private:
    bool running = true;
};

} // namespace

koSessionClient::koSessionClient()
    : serverChanges(std::make_shared<koSessionChangeList>()),
      outgoingChanges(std::make_shared<koSessionChangeList>()),
      asyncOutgoingChanges(std::make_shared<koSessionChangeList>())
{
}

koSessionClient::~koSessionClient()
{
    try {
        stop();
    } catch (const std::exception& e) {
        koLog::error("Shutting the session links down failed: %s", e.what());
    } catch (...) {
        koLog::error("Shutting the session links down failed");
    }
    wait();
    // Only a thread that destroys its own object is left; it cannot be joined.
    std::lock_guard<std::mutex> lock(mutex);
    for (std::thread& thread : threads) {
        if (thread.joinable()) {
            koLog::error("Session connection destroyed by one of its own threads");
            thread.detach();
        }
    }
}

koSessionClient::SceneQuestion koSessionClient::setSceneQuestion(SceneQuestion question)
{
    SceneQuestionSlot& slot = sceneQuestionSlot();
    std::lock_guard<std::mutex> lock(slot.mutex);
    std::swap(slot.question, question);
    return question;
}

// ---------------------------------------------------------------------------
// Handshake

std::shared_ptr<koNetLink> koSessionClient::connectServer(const QString& sessionLink,
                                                          const QString& sessionPassword, bool force)
{
    QString address;
    QString sessionId;
    if (!koSession::tryDecryptSessionLink(sessionPassword, sessionLink, address, sessionId))
        throw koNetError("Invalid session link or password");

    auto socketLink = std::make_shared<koSocketLink>(
        koSocketAddress(address.toStdString(), ServerPort), ConnectTimeoutSeconds);
    socketLink->setRecvTimeout(HandshakeTimeoutSeconds);
    watchJoiningLink(socketLink);

    const QString line = QStringLiteral("CONNECT session_%1.version_%2.%3.KOVASessionServer HTTP/1.1\r\n\r\n")
        .arg(koSessionWire::sessionHash(sessionId), QString::fromStdString(koVersionInfo::the().getVersionString()),
             force ? QStringLiteral("force") : QStringLiteral("join"));
    const QByteArray bytes = line.toUtf8();
    socketLink->send(bytes.constData(), static_cast<std::size_t>(bytes.size()));
    // The answer's content does not matter, only where it ends. A server
    // (or a proxy that routes by session) that does not hold the session
    // closes without any answer: no byte can say so, the close itself does.
    try {
        koSessionWire::readTunnelHeader(*socketLink, "Tunnel answer");
    } catch (const koConnectionClosed&) {
        throw koNetError("no session " + sessionLink.section(QLatin1Char('/'), 1).toStdString() + " at "
                         + socketLink->getPeerName()
                         + ": check the link (a server restarted without --state-dir gives a new link)");
    }

    std::shared_ptr<koNetLink> netLink = socketLink;
    koSessionWire::setUpCipher(netLink, true);
    return netLink;
}

void koSessionClient::checkVersion(koNetStream& versionStream)
{
    const QString ownVersion = QString::fromStdString(koVersionInfo::the().getDisplayVersionYearString());
    koSessionWire::putText(versionStream, ownVersion);
    versionStream.flush();
    const QString serverVersion = koSessionWire::getText(versionStream, "Server version text");
    const QStringList userNames = koSessionWire::getNames(versionStream);
    if (ownVersion != serverVersion)
        throw koSessionVersionError(serverVersion, userNames);
}

void koSessionClient::attachLink(koNetStream& target, const std::shared_ptr<koNetLink>& netLink)
{
    auto sender = koNetLinkSender::create(netLink);
    auto receiver = koNetLinkReceiver::create(netLink);
    std::lock_guard<std::mutex> lock(mutex);
    target.setSender(sender);
    target.setReceiver(receiver);
}

void koSessionClient::join(const QString& sessionLink, const koSessionUser& ownUser,
                           const QString& sessionPassword, bool force)
{
    ownUser.checkLimits();
    serverChanges = std::make_shared<koSessionChangeList>();
    taken.clear();
    nextTaken = 0;
    serverRole = false;
    joinCompleted = false;
    server = nullptr;
    blocks.clear();
    {
        std::lock_guard<std::mutex> lock(mutex);
        user = ownUser;
    }
    link = sessionLink;
    password = sessionPassword;
    outgoingChanges->clear();
    asyncOutgoingChanges->clear();
    {
        std::lock_guard<std::mutex> lock(mutex);
        joinRunning = true;
    }
    try {
        joinSteps(force);
    } catch (const koNetError&) {
        endJoinWatch();
        // Whatever the shut-down links reported, the user asked for this.
        if (joinCancelled)
            throw koNetError(JoinCancelled);
        throw;
    } catch (...) {
        endJoinWatch();
        throw;
    }
    endJoinWatch();
}

void koSessionClient::cancelJoin()
{
    std::lock_guard<std::mutex> lock(mutex);
    joinCancelled = true;
    for (const std::shared_ptr<koNetLink>& joining : joiningLinks)
        joining->shutdown();
}

void koSessionClient::watchJoiningLink(const std::shared_ptr<koNetLink>& joining)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (!joinRunning)
        return;
    if (joinCancelled)
        throw koNetError(JoinCancelled);
    joiningLinks.push_back(joining);
}

void koSessionClient::endJoinWatch()
{
    std::lock_guard<std::mutex> lock(mutex);
    joinRunning = false;
    joiningLinks.clear();
}

void koSessionClient::joinSteps(bool force)
{
    // Main link: request, version, participant record, scene flag.
    const std::shared_ptr<koNetLink> mainLink = connectServer(link, password, force);
    attachLink(stream, mainLink);
    koSessionWire::putRequest(stream, koSessionWire::RequestJoin);
    stream.flush();
    checkVersion(stream);
    user.putValue(stream);
    stream.flush();
    koSessionUser settled;
    settled.getValue(stream);
    {
        std::lock_guard<std::mutex> lock(mutex);
        user = settled;
    }
    const auto sceneFlag = stream.getValue<std::uint8_t>();
    stream.recvResult();

    // Second link: request and the own user identifier.
    const std::shared_ptr<koNetLink> secondLink = connectServer(link, password, force);
    attachLink(asyncStream, secondLink);
    koSessionWire::putRequest(asyncStream, koSessionWire::RequestAsyncStream);
    asyncStream.flush();
    asyncStream.putValue(static_cast<std::uint16_t>(settled.getId()));
    asyncStream.flush();
    asyncStream.recvResult();

    mainLink->setRecvTimeout(0);
    secondLink->setRecvTimeout(0);
    startThreads(stream, outgoingChanges->getReader(false), serverChanges, MainPeriod);
    startThreads(asyncStream, asyncOutgoingChanges->getReader(false), nullptr, AsyncPeriod);

    if (sceneFlag == 0)
        return;
    if (!askSceneQuestion()) {
        sceneDeclined = true;
        return;
    }
    waitForScene();
}

bool koSessionClient::askSceneQuestion()
{
    SceneQuestion question;
    {
        SceneQuestionSlot& slot = sceneQuestionSlot();
        std::lock_guard<std::mutex> lock(slot.mutex);
        question = slot.question;
    }
    if (question)
        return question();
    if (!qobject_cast<QApplication*>(QCoreApplication::instance())) {
        // A message box without a widget application would end the process.
        koLog::warning("No user interface to ask about the session's scene; declining it");
        return false;
    }
    const auto answer = QMessageBox::warning(
        nullptr, tr("Download KOVA Scene"),
        tr("Another participant provided a KOVA scene for the session. Continuing loads the scene "
           "from the collaboration server. Your current scene will be destroyed. This action cannot "
           "be undone. Do you want to continue?"),
        QMessageBox::Ok | QMessageBox::Cancel, QMessageBox::Ok);
    return answer != QMessageBox::Cancel;
}

void koSessionClient::waitForScene()
{
    // The receiving thread fills serverChanges meanwhile; the user interface
    // stays alive so that the user can abort.
    koNetProgress::start(tr("Downloading scene ...").toStdString(), 0.0);
    while (isConnected() && !serverChanges->containsLoadScene() && !koNetProgress::isAborting() && !joinCancelled) {
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        std::this_thread::sleep_for(SceneWaitStep);
    }
    koNetProgress::start(std::string(), 0.0);
    if (koNetProgress::isAborting())
        throw koNetError("Joining the session has been aborted");
    if (joinCancelled)
        throw koNetError(JoinCancelled);
}

bool koSessionClient::isConnected()
{
    std::lock_guard<std::mutex> lock(mutex);
    for (const std::thread& thread : threads) {
        if (!thread.joinable())
            return false;
    }
    return !stopped;
}

// ---------------------------------------------------------------------------
// Command pump

void koSessionClient::startThreads(koNetStream& linkStream, std::shared_ptr<koSessionChangeReader> reader,
                                   std::shared_ptr<koSessionChangeList> list, std::chrono::nanoseconds period)
{
    std::lock_guard<std::mutex> lock(mutex);
    // Only the first pair revives the object: a second link must not hide
    // that the main link has already failed.
    if (threads.empty())
        stopped = false;
    ++sendersRunning;
    threads.emplace_back(&koSessionClient::sendCommands, this, std::ref(linkStream), std::move(reader), period);
    threads.emplace_back(&koSessionClient::recvCommands, this, std::ref(linkStream), std::move(list));
}

// Each cycle writes every waiting change, flushes once and sleeps for the
// rest of the period. The link carries nothing but change records. Once
// stopped without a failure, one last cycle sends what was pushed before.
void koSessionClient::sendCommands(koNetStream& linkStream, std::shared_ptr<koSessionChangeReader> reader,
                                   std::chrono::nanoseconds period)
{
    try {
        const unsigned short participant = getUserId();
        // Waiting changes are taken a batch per lock of the list, so a busy
        // list is not fought over once per change by every peer's thread.
        std::vector<std::shared_ptr<koSessionChange>> batch;
        batch.reserve(SendBatch);
        std::chrono::steady_clock::time_point backlogChecked;
        while (!stopped) {
            const auto start = std::chrono::steady_clock::now();
            sendCycle(linkStream, *reader, batch, participant, backlogChecked);
            waitLoop(start, period);
        }
        if (!failed)
            sendCycle(linkStream, *reader, batch, participant, backlogChecked);
    } catch (const std::exception& e) {
        threadFailed("sending", e.what());
    } catch (...) {
        threadFailed("sending", "unknown exception");
    }
    reader.reset();
    {
        std::lock_guard<std::mutex> lock(mutex);
        --sendersRunning;
    }
    lastCycleDone.notify_all();
    clientStopped();
}

void koSessionClient::sendCycle(koNetStream& linkStream, koSessionChangeReader& reader,
                                std::vector<std::shared_ptr<koSessionChange>>& batch, unsigned short participant,
                                std::chrono::steady_clock::time_point& backlogChecked)
{
    while (!failed && reader.popSome(batch, SendBatch) > 0) {
        // The batch counts as backlog until it is written: the reader's
        // cursor has already passed it.
        Unsent unsent{koCoarseClock::now(), 0};
        for (const std::shared_ptr<koSessionChange>& change : batch)
            unsent.bytes += change->getByteSize();
        for (const std::shared_ptr<koSessionChange>& change : batch) {
            if (serverRole) {
                // Between changes: a write may block for as long as a slow
                // participant takes to read the one before.
                checkBacklog(reader, backlogChecked, unsent);
                unsent.bytes -= change->getByteSize();
                if (!isForParticipant(*change, participant))
                    continue;
            }
            change->putValue(linkStream);
        }
        batch.clear();
    }
    linkStream.flush();
}

void koSessionClient::checkBacklog(const koSessionChangeReader& reader, std::chrono::steady_clock::time_point& checked,
                                   const Unsent& unsent)
{
    const auto now = koCoarseClock::now();
    if (now - checked < BacklogCheckInterval)
        return;
    checked = now;
    koSessionChangeList::Backlog backlog = reader.getBacklog();
    backlog.bytes += unsent.bytes;
    if (unsent.bytes > 0)
        backlog.age = std::max(backlog.age, now - unsent.taken);
    if (backlog.bytes <= MaxBacklogBytes && backlog.age <= MaxBacklogAge)
        return;
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(backlog.age).count();
    throw koNetError("the participant fell behind by " + std::to_string(backlog.bytes) + " bytes, the oldest sent "
                     + std::to_string(seconds) + " s ago (limits " + std::to_string(MaxBacklogBytes) + " bytes and "
                     + std::to_string(MaxBacklogAge.count()) + " s)");
}

// A batch ends at a scene load, so the roster below follows the load at once.
void koSessionClient::relay(std::vector<std::shared_ptr<koSessionChange>>&& changes,
                            const std::shared_ptr<koSessionChangeList>& list)
{
    const bool counted = serverRole && server;
    if (counted) {
        for (const std::shared_ptr<koSessionChange>& change : changes)
            server->countRelayed(change->getByteSize());
    }
    const bool loadScene = changes.back()->isLoadScene();
    list->push(std::move(changes));
    // A scene load empties the shared list, and with it a roster that some
    // peers may not have sent on yet: whoever joined just before the load
    // would stay unknown to them until the next roster change.
    if (counted && list == serverChanges && loadScene)
        server->sendUpdatedUsers();
}

// Changes to relay wait while more have already come in, so that the list
// takes them under one lock. A batch holds small changes only, so it is a few
// tens of KiB at most, and ends at a scene load; it goes before anything runs
// here, and what came whole before the link ended still goes.
void koSessionClient::receiveChanges(koNetStream& linkStream, const std::shared_ptr<koSessionChangeList>& list)
{
    std::vector<std::shared_ptr<koSessionChange>> received;
    received.reserve(RelayBatch);
    const auto relayReceived = [&] {
        if (!received.empty())
            relay(std::move(received), list);
        received.clear();
    };
    while (!stopped) {
        auto change = std::make_shared<koSessionChange>();
        try {
            change->getValue(linkStream);
        } catch (...) {
            relayReceived();
            throw;
        }
        if (serverRole && isEndNotice(*change)) {
            relayReceived();
            throw koNetError("the participant sent an end notice, which only the server may send");
        }
        if (!list || (serverRole && change->isServerCommand())) {
            relayReceived();
            executeReceived(*change);
            continue;
        }
        const bool last = change->isLoadScene() || change->getByteSize() > koSessionChange::inlineWireSize;
        received.push_back(std::move(change));
        if (last || received.size() >= RelayBatch || !linkStream.hasReadable())
            relayReceived();
    }
    relayReceived();
}

// A command that fails on this side must not end the link.
void koSessionClient::executeReceived(koSessionChange& change)
{
    try {
        change.execute(this);
    } catch (const std::exception& e) {
        koLog::warning("Executing a received change failed: %s", e.what());
    } catch (...) {
        koLog::warning("Executing a received change failed");
    }
}

void koSessionClient::recvCommands(koNetStream& linkStream, std::shared_ptr<koSessionChangeList> list)
{
    try {
        receiveChanges(linkStream, list);
    } catch (const koConnectionClosed& e) {
        if (serverRole)
            awaitOtherLinkEnd();
        threadFailed("receiving", e.what());
    } catch (const std::exception& e) {
        threadFailed("receiving", e.what());
    } catch (...) {
        threadFailed("receiving", "unknown exception");
    }
    list.reset();
    clientStopped();
}

// A participant that leaves closes both links after its last changes; the
// link whose end arrives first must not cut the other short before those are
// read. A peer that closes one link only is stopped after the same limit.
void koSessionClient::awaitOtherLinkEnd()
{
    std::unique_lock<std::mutex> lock(mutex);
    ++linksEnded;
    linkEnded.notify_all();
    const int receivers = static_cast<int>(threads.size() / 2);
    linkEnded.wait_for(lock, LastCycleLimit, [&] { return failed || linksEnded >= receivers; });
}

void koSessionClient::threadFailed(const char* what, const char* reason)
{
    // The first failure stops the whole object and closes both links, so the
    // other threads and the other end notice at once.
    {
        std::lock_guard<std::mutex> lock(mutex);
        failed = true;
    }
    linkEnded.notify_all();
    if (!stopped.exchange(true))
        koLog::info("Session connection of user %u ended while %s: %s", unsigned(getUserId()), what, reason);
    try {
        shutdownLinks();
    } catch (...) {
    }
}

void koSessionClient::waitLoop(std::chrono::steady_clock::time_point start, std::chrono::nanoseconds period)
{
    const auto elapsed = std::chrono::steady_clock::now() - start;
    if (elapsed < period)
        std::this_thread::sleep_for(period - elapsed);
}

void koSessionClient::clientStopped()
{
    if (!server)
        return;
    try {
        server->checkClients();
    } catch (const std::exception& e) {
        koLog::error("Unable to have stopped participants removed: %s", e.what());
    } catch (...) {
        koLog::error("Unable to have stopped participants removed");
    }
}

void koSessionClient::push(const koSessionCommand& command)
{
    if ((executing || isBlocking(command)) && command.getDestinationUserId() == 0) {
        // Kept local: the server would have echoed it, so it takes effect here.
        if (command.isEchoing())
            command.execute(this);
        return;
    }
    outgoingChanges->push(std::make_shared<koSessionChange>(command, getUserId()));
}

void koSessionClient::pushAsync(const koSessionCommand& command)
{
    asyncOutgoingChanges->push(std::make_shared<koSessionChange>(command, getUserId()));
}

void koSessionClient::block(unsigned int type)
{
    ++blocks[type];
}

void koSessionClient::unblock(unsigned int type)
{
    const auto entry = blocks.find(type);
    if (entry == blocks.end())
        return;
    if (--entry->second < 1)
        blocks.erase(entry);
}

bool koSessionClient::isBlocking()
{
    const auto entry = blocks.find(0);
    return entry != blocks.end() && entry->second > 0;
}

bool koSessionClient::isBlocking(const koSessionCommand& command)
{
    if (isBlocking())
        return true;
    const auto entry = blocks.find(command.getType());
    return entry != blocks.end() && entry->second > 0;
}

bool koSessionClient::isExecuting()
{
    return executing;
}

bool koSessionClient::isJoinCompleted()
{
    return joinCompleted;
}

void koSessionClient::executeCommands()
{
    // Reset even when a change throws, so later pushes are not held back.
    struct ExecutingScope
    {
        bool& flag;
        ~ExecutingScope() { flag = false; }
    } scope{executing};
    executing = true;
    // A batch per lock of the list, so the receiving thread's pushes are not
    // fought over once per change.
    while (nextTaken < taken.size() || takeServerChanges()) {
        const std::shared_ptr<koSessionChange> change = std::move(taken[nextTaken++]);
        change->execute(this);
    }
}

bool koSessionClient::takeServerChanges()
{
    taken = serverChanges->popAll();
    nextTaken = 0;
    return !taken.empty();
}

std::shared_ptr<koSessionChangeList> koSessionClient::getServerChanges()
{
    return serverChanges;
}

void koSessionClient::stop()
{
    stopped = true;
    {
        // A participant leaving sends what it pushed before the links close;
        // the server's side of a link has nothing of its own to send.
        std::unique_lock<std::mutex> lock(mutex);
        if (!serverRole && !isOwnThread())
            lastCycleDone.wait_for(lock, LastCycleLimit, [this] { return sendersRunning == 0; });
    }
    shutdownLinks();
}

void koSessionClient::shutdownLinks()
{
    std::lock_guard<std::mutex> lock(mutex);
    stream.shutdown();
    asyncStream.shutdown();
}

bool koSessionClient::isOwnThread() const
{
    const std::thread::id self = std::this_thread::get_id();
    for (const std::thread& thread : threads) {
        if (thread.get_id() == self)
            return true;
    }
    return false;
}

void koSessionClient::wait()
{
    // Take the threads out under the lock, join them without it: they take
    // the lock themselves.
    std::vector<std::thread> joining;
    {
        std::lock_guard<std::mutex> lock(mutex);
        for (std::thread& thread : threads) {
            if (thread.joinable() && thread.get_id() != std::this_thread::get_id())
                joining.push_back(std::move(thread));
        }
    }
    for (std::thread& thread : joining)
        thread.join();
}

void koSessionClient::stopForAll()
{
    try {
        const std::shared_ptr<koNetLink> stopLink = connectServer(link, password, false);
        koNetStream stopStream(stopLink);
        koSessionWire::putRequest(stopStream, koSessionWire::RequestStop);
        stopStream.flush();
    } catch (const std::exception& e) {
        koLog::warning("Unable to stop the session server: %s", e.what());
    } catch (...) {
        koLog::warning("Unable to stop the session server");
    }
}

void koSessionClient::endForEverybody(const QString& reason)
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        endReason = reason.isEmpty() ? QStringLiteral("ended by the server") : reason;
    }
    koLog::info("Session ended for everybody: %s", reason.toUtf8().constData());
    stop();
}

QString koSessionClient::getEndReason() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return endReason;
}

// ---------------------------------------------------------------------------
// Roster

const koSessionUser& koSessionClient::getUser()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
    }
    return user;
}

koSessionUser koSessionClient::copyUser() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return user;
}

unsigned short koSessionClient::getUserId() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return user.getId();
}

const std::vector<koSessionUser>& koSessionClient::getUsers()
{
    return users;
}

std::vector<koSessionUser> koSessionClient::getOtherUsers()
{
    const unsigned short ownId = getUserId();
    std::vector<koSessionUser> others;
    for (const koSessionUser& record : users) {
        if (record.getId() != ownId)
            others.push_back(record);
    }
    return others;
}

int koSessionClient::getColorIndex()
{
    return colorIndex;
}

void koSessionClient::setUsers(const std::vector<koSessionUser>& newUsers)
{
    QMap<unsigned short, koSessionUser> previous;
    for (const koSessionUser& record : users)
        previous.insert(record.getId(), record);
    QMap<unsigned short, koSessionUser> received;
    for (const koSessionUser& record : newUsers)
        received.insert(record.getId(), record);

    if (&newUsers != &users)
        users = newUsers;
    updateSpectatorState();

    // Every addition is signalled before any change or removal.
    koSession& facade = koSession::the();
    const unsigned short ownId = getUserId();
    const std::vector<koSessionUser> current = users;
    for (const koSessionUser& record : current) {
        if (!previous.contains(record.getId()))
            emit facade.userAdded(record);
        if (record.getId() == ownId)
            joinCompleted = true;
    }
    for (auto entry = previous.cbegin(); entry != previous.cend(); ++entry) {
        const auto found = received.constFind(entry.key());
        if (found == received.cend())
            emit facade.userRemoved(entry.key());
        else if (entry.value() != found.value())
            emit facade.userChanged(found.value());
    }
}

void koSessionClient::updateSpectatorState()
{
    std::map<unsigned short, int> counts;
    for (const koSessionUser& record : users) {
        if (record.getIsSpectator())
            ++counts[record.getSpectatedUserId()];
    }
    const unsigned short ownId = getUserId();
    for (koSessionUser& record : users) {
        const auto entry = counts.find(record.getId());
        const int count = entry == counts.end() ? 0 : entry->second;
        record.setSpectatorCount(count);
        if (record.getId() == ownId) {
            std::lock_guard<std::mutex> lock(mutex);
            user.setSpectatorCount(count);
        }
    }
}

void koSessionClient::updateUserInfo(const koSessionUser& info)
{
    koSessionUser record(info);
    record.setId(getUserId());
    if (serverRole) {
        try {
            record.checkLimits();
        } catch (const koNetError& e) {
            // Kept, the record would reach every newcomer's handshake and
            // stop them all from joining: the sender's link ends instead.
            threadFailed("updating its record", e.what());
            return;
        }
        {
            std::lock_guard<std::mutex> lock(mutex);
            user = record;
        }
        if (server)
            server->sendUpdatedUsers();
        return;
    }
    if (record.getColor() == QColor(Qt::transparent))
        record.setColor(koSession::the().getDefaultColor(colorIndex));
    record.checkLimits();
    {
        std::lock_guard<std::mutex> lock(mutex);
        user = record;
    }
    // Straight into the outgoing list: neither blocks nor executing hold it back.
    const koSessionUserInfoCommand command(record);
    outgoingChanges->push(std::make_shared<koSessionChange>(command, record.getId()));
}

// ---------------------------------------------------------------------------
// Scene transfer

std::unique_ptr<koNetStream> koSessionClient::openTransfer(std::uint32_t request, std::string* peer)
{
    const std::shared_ptr<koNetLink> transferLink = connectServer(link, password, false);
    if (peer)
        *peer = transferLink->getPeerName();
    // The handshake's limit would end a download while the server is still
    // busy with someone else's handshake; a vanished server is still noticed
    // by the link's keep-alive.
    transferLink->setRecvTimeout(0);
    auto transfer = std::make_unique<koNetStream>(transferLink);
    transfer->putValue(request);
    transfer->flush();
    return transfer;
}

// Upload stream: request type (flushed), name field, size field, the bytes.
// The server answers nothing; an abort just leaves the stream short.
void koSessionClient::uploadScene(const std::vector<char>& data, const QString& name)
{
    const std::string utf8 = name.toStdString();
    koSessionSceneWire::checkName(utf8, "Scene name");
    std::unique_ptr<koNetStream> transfer = openTransfer(koSessionWire::RequestUploadScene);
    TransferProgress progress("Uploading scene ...", data.size());
    koSessionSceneWire::putName(*transfer, utf8);
    transfer->putValueSize(data.size());
    koSessionSceneWire::putData(*transfer, data.data(), data.size(), &TransferProgress::advance);
    transfer->flush();
    progress.end();
}

bool koSessionClient::downloadScene(std::vector<char>& data, QString& name)
{
    // getData reserves the whole scene once its first piece has come: the
    // system gives a page only when a byte lands on it, and the vector never
    // has to move. Growing it instead copies up to half the scene at a time,
    // which held off a Ctrl-C for a second and more per copy.
    return downloadSceneWith(name, [&data](koNetSerializer& transfer, std::size_t size) {
        koSessionSceneWire::getData(transfer, data, size, &TransferProgress::advance);
        // After an abort the caller gets the announced size; what did not
        // arrive stays zero.
        if (koNetProgress::isAborting())
            data.resize(size);
    });
}

// Grows by moving pages, so it doubles with the bytes that arrived; memory
// kept from an earlier download is written again without being cleared.
bool koSessionClient::downloadScene(koSessionSceneBuffer& data, QString& name)
{
    return downloadSceneWith(name, [&data](koNetSerializer& transfer, std::size_t size) {
        koSessionSceneWire::getData(transfer, data, size, &TransferProgress::advance);
    });
}

// Download stream: request type (flushed); the server answers with the name
// field, the size field and the bytes, or closes the link without a byte
// when it holds no scene.
bool koSessionClient::downloadSceneWith(QString& name, const SceneReceiver& receive)
{
    if (sceneDeclined) {
        sceneDeclined = false;
        return false;
    }
    std::string server;
    std::unique_ptr<koNetStream> transfer = openTransfer(koSessionWire::RequestDownloadScene, &server);
    const std::string utf8 = koSessionSceneWire::getName(*transfer, server);
    name = QString::fromUtf8(utf8.c_str());
    const auto size = static_cast<std::size_t>(
        koSessionSceneWire::getSize(*transfer, koSessionSceneWire::DefaultMaxSceneBytes, server));

    TransferProgress progress("Downloading scene ...", size);
    receive(*transfer, size);
    const bool aborted = koNetProgress::isAborting();
    progress.end();
    if (aborted)
        koLog::warning("Download aborted by user");
    return !aborted;
}

// ---------------------------------------------------------------------------
// Server role

void koSessionClient::accept(koSessionServer* owner, const std::shared_ptr<koSessionChangeList>& changes,
                             const std::shared_ptr<koNetLink>& netLink, unsigned short userId, int index)
{
    colorIndex = index;
    serverChanges = changes;
    serverRole = true;
    server = owner;
    attachLink(stream, netLink);

    koSessionUser record;
    record.getValue(stream);
    record.checkLimits();
    record.setId(userId);
    if (record.getColor() == QColor(Qt::transparent))
        record.setColor(koSession::the().getDefaultColor(colorIndex));
    {
        std::lock_guard<std::mutex> lock(mutex);
        user = record;
    }
    record.putValue(stream);
    stream.putValue(static_cast<std::uint8_t>(changes->containsLoadScene() ? 1 : 0));
    stream.sendSuccess();
    stream.flush();

    // An indexed reader: the new participant first gets everything the list holds.
    auto reader = changes->getReader(true);
    // The accept thread's time limit ends here: a participant may stay quiet for hours.
    netLink->setRecvTimeout(0);
    startThreads(stream, std::move(reader), changes, MainPeriod);
}

void koSessionClient::acceptAsyncLink(const std::shared_ptr<koSessionChangeList>& changes,
                                      const std::shared_ptr<koNetLink>& netLink)
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        // Attaching to a stream that running threads use would pull it from under them.
        if (threads.size() != 2)
            throw koNetError("Participant " + std::to_string(user.getId())
                             + " cannot take a second link now (already attached or not admitted)");
    }
    attachLink(asyncStream, netLink);
    asyncStream.sendSuccess();
    asyncStream.flush();
    auto reader = changes->getReader(true);
    netLink->setRecvTimeout(0);
    startThreads(asyncStream, std::move(reader), changes, AsyncPeriod);
}
