#include "koSessionClient.h"

#include "koSessionChange.h"
#include "koSessionChangeList.h"
#include "koSessionChangeReader.h"
#include "koSessionCommand.h"
#include "koSessionDefaultColors.h"
#include "koSessionHandshake.h"
#include "koSessionLinkCoder.h"
#include "koSessionLinkPump.h"
#include "koSessionObserver.h"
#include "koSessionSceneBuffer.h"
#include "koSessionSceneQuestionBox.h"
#include "koSessionSceneWire.h"
#include "koSessionUserInfoCommand.h"
#include "koSessionWire.h"

#include "koConnectionClosed.h"
#include "koLog.h"
#include "koNetError.h"
#include "koNetProgress.h"
#include "koNetStream.h"
#include "koSocketAddress.h"
#include "koSocketLink.h"

#include <QCoreApplication>
#include <QMap>

#include <chrono>
#include <cstdint>
#include <thread>

namespace {

constexpr int ServerPort = 8889;
constexpr double ConnectTimeoutSeconds = 5.0;
constexpr std::chrono::milliseconds SceneWaitStep(100);
const char JoinCancelled[] = "Joining the session has been cancelled";

// The process-wide answerer of the scene question; empty means the message box.
struct SceneQuestionSlot
{
    // Guards `question`; taken by setSceneQuestion and by join when it asks.
    koSessionMutex mutex{koSessionLockRank::SceneQuestion, "scene question"};
    koSessionClient::SceneQuestion question;
};

SceneQuestionSlot& sceneQuestionSlot()
{
    static SceneQuestionSlot slot;
    return slot;
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

// The participant's links: their pump, whose owner this is (taking every
// default but the log's name), the links of a join in progress and the lock.
class koSessionClient::Connection : public koSessionLinkPump::Owner
{
public:
    explicit Connection(koSessionClient& client) : client(client), pump(*this, client) {}
    unsigned short getUserId() const override { return client.getUserId(); }

    // Decodes the client's session link, connects, passes the tunnel line
    // and sets the cipher up; the link is watched while join() runs.
    std::shared_ptr<koNetLink> connectServer(bool force);
    // While join() runs: hands `link` to cancelJoin(), or throws when that
    // came first. Takes `mutex`.
    void watchJoiningLink(const std::shared_ptr<koNetLink>& link);
    // Scene transfer: connects with the handshake limit lifted, sends
    // `request` and sets `*peer` (when given) to the server's address.
    std::unique_ptr<koNetStream> openTransfer(std::uint32_t request, std::string* peer = nullptr);

    koSessionClient& client;
    // Guards the client's `user`, the join watch and `endReason` against
    // other threads. Taken briefly; never held while doing I/O or calling
    // the pump.
    mutable koSessionMutex mutex{koSessionLockRank::Client, "koSessionClient::mutex"};
    // The links the running join() made so far, for cancelJoin().
    std::vector<std::shared_ptr<koNetLink>> joiningLinks;
    koSessionLinkPump pump;
};

// A command that sees only its context reaches the participant through this.
koSessionCommandContext* koSessionCommandContext::of(koSessionClient* client)
{
    return client;
}

koSessionClient::koSessionClient()
    : serverChanges(std::make_shared<koSessionChangeList>()),
      outgoingChanges(std::make_shared<koSessionChangeList>()),
      asyncOutgoingChanges(std::make_shared<koSessionChangeList>()),
      connection(std::make_unique<Connection>(*this))
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
    // Only a thread that destroys its own object is left; the pump detaches it.
}

koSessionClient::SceneQuestion koSessionClient::setSceneQuestion(SceneQuestion question)
{
    SceneQuestionSlot& slot = sceneQuestionSlot();
    std::lock_guard<koSessionMutex> lock(slot.mutex);
    std::swap(slot.question, question);
    return question;
}

// ---------------------------------------------------------------------------
// Handshake

std::shared_ptr<koNetLink> koSessionClient::Connection::connectServer(bool force)
{
    const QString& sessionLink = client.link;
    QString address;
    QString sessionId;
    if (!koSessionLinkCoder::tryDecrypt(client.password, sessionLink, address, sessionId))
        throw koNetError("Invalid session link or password");

    auto socketLink = std::make_shared<koSocketLink>(
        koSocketAddress(address.toStdString(), ServerPort), ConnectTimeoutSeconds);
    socketLink->setRecvTimeout(client.handshakeTimeout);
    watchJoiningLink(socketLink);

    const QByteArray bytes = koSessionWire::tunnelRequest(sessionId, force);
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

void koSessionClient::join(const QString& sessionLink, const koSessionUser& ownUser,
                           const QString& sessionPassword, bool force)
{
    ownUser.checkLimits();
    serverChanges = std::make_shared<koSessionChangeList>();
    taken.clear();
    nextTaken = 0;
    joinCompleted = false;
    blocks.clear();
    {
        std::lock_guard<koSessionMutex> lock(connection->mutex);
        user = ownUser;
    }
    link = sessionLink;
    password = sessionPassword;
    outgoingChanges->clear();
    asyncOutgoingChanges->clear();
    {
        std::lock_guard<koSessionMutex> lock(connection->mutex);
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
    std::lock_guard<koSessionMutex> lock(connection->mutex);
    joinCancelled = true;
    for (const std::shared_ptr<koNetLink>& joining : connection->joiningLinks)
        joining->shutdown();
}

void koSessionClient::Connection::watchJoiningLink(const std::shared_ptr<koNetLink>& joining)
{
    std::lock_guard<koSessionMutex> lock(mutex);
    if (!client.joinRunning)
        return;
    if (client.joinCancelled)
        throw koNetError(JoinCancelled);
    joiningLinks.push_back(joining);
}

void koSessionClient::endJoinWatch()
{
    std::lock_guard<koSessionMutex> lock(connection->mutex);
    joinRunning = false;
    connection->joiningLinks.clear();
}

void koSessionClient::joinSteps(bool force)
{
    // Main link: request, version, participant record, scene flag.
    koNetStream& stream = connection->pump.getMainStream();
    const std::shared_ptr<koNetLink> mainLink = connection->connectServer(force);
    connection->pump.attach(stream, mainLink);
    koSessionWire::putRequest(stream, koSessionWire::RequestJoin);
    stream.flush();
    koSessionHandshake::checkServerVersion(stream);
    user.putValue(stream);
    stream.flush();
    const koSessionHandshake::JoinAnswer answer = koSessionHandshake::getJoinAnswer(stream);
    {
        std::lock_guard<koSessionMutex> lock(connection->mutex);
        user = answer.user;
    }

    // Second link: request and the own user identifier.
    koNetStream& secondStream = connection->pump.getSecondStream();
    const std::shared_ptr<koNetLink> secondLink = connection->connectServer(force);
    connection->pump.attach(secondStream, secondLink);
    koSessionHandshake::requestSecondLink(secondStream, answer.user.getId());

    mainLink->setRecvTimeout(0);
    secondLink->setRecvTimeout(0);
    connection->pump.start(stream, outgoingChanges->getReader(false), serverChanges, koSessionLinkPump::MainPeriod);
    connection->pump.start(secondStream, asyncOutgoingChanges->getReader(false), nullptr, koSessionLinkPump::SecondPeriod);

    if (!answer.sceneHeld)
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
        std::lock_guard<koSessionMutex> lock(slot.mutex);
        question = slot.question;
    }
    if (question)
        return question();
    return koSessionSceneQuestionBox::ask();
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

void koSessionClient::setHandshakeTimeout(double seconds)
{
    handshakeTimeout = seconds;
}

bool koSessionClient::isConnected()
{
    return connection->pump.isConnected();
}

// ---------------------------------------------------------------------------
// Command pump

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
        change->execute(*this);
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
    connection->pump.leave();
}

void koSessionClient::wait()
{
    connection->pump.wait();
}

void koSessionClient::stopForAll()
{
    try {
        const std::shared_ptr<koNetLink> stopLink = connection->connectServer(false);
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
        std::lock_guard<koSessionMutex> lock(connection->mutex);
        endReason = reason.isEmpty() ? QStringLiteral("ended by the server") : reason;
    }
    koLog::info("Session ended for everybody: %s", reason.toUtf8().constData());
    stop();
}

QString koSessionClient::getEndReason() const
{
    std::lock_guard<koSessionMutex> lock(connection->mutex);
    return endReason;
}

// ---------------------------------------------------------------------------
// Roster

const koSessionUser& koSessionClient::getUser()
{
    // A lock here would end before the caller reads the reference; the
    // record is written on this same thread (join, updateUserInfo,
    // setUsers), so the reference is safe where the accessor is meant.
    return user;
}

koSessionUser koSessionClient::copyUser() const
{
    std::lock_guard<koSessionMutex> lock(connection->mutex);
    return user;
}

unsigned short koSessionClient::getUserId() const
{
    std::lock_guard<koSessionMutex> lock(connection->mutex);
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
    koSessionObserver* const events = getObserver();
    const unsigned short ownId = getUserId();
    const std::vector<koSessionUser> current = users;
    for (const koSessionUser& record : current) {
        if (!previous.contains(record.getId()) && events)
            events->userAdded(record);
        if (record.getId() == ownId)
            joinCompleted = true;
    }
    for (auto entry = previous.cbegin(); entry != previous.cend(); ++entry) {
        const auto found = received.constFind(entry.key());
        if (!events)
            continue;
        if (found == received.cend())
            events->userRemoved(entry.key());
        else if (entry.value() != found.value())
            events->userChanged(found.value());
    }
}

void koSessionClient::showPose(const koSessionUserPoseCommand& pose)
{
    if (koSessionObserver* const events = getObserver())
        events->poseChanged(pose);
}

koSessionClient* koSessionClient::getClient()
{
    return this;
}

void koSessionClient::setObserver(koSessionObserver* own)
{
    observer = own;
}

koSessionObserver* koSessionClient::getObserver() const
{
    return observer ? observer : koSessionObserver::getDefault();
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
            std::lock_guard<koSessionMutex> lock(connection->mutex);
            user.setSpectatorCount(count);
        }
    }
}

void koSessionClient::updateUserInfo(const koSessionUser& info)
{
    koSessionUser record(info);
    record.setId(getUserId());
    if (record.getColor() == QColor(Qt::transparent))
        record.setColor(koSessionDefaultColors::getColor(colorIndex));
    record.checkLimits();
    {
        std::lock_guard<koSessionMutex> lock(connection->mutex);
        user = record;
    }
    // Straight into the outgoing list: neither blocks nor executing hold it back.
    const koSessionUserInfoCommand command(record);
    outgoingChanges->push(std::make_shared<koSessionChange>(command, record.getId()));
}

// ---------------------------------------------------------------------------
// Scene transfer

std::unique_ptr<koNetStream> koSessionClient::Connection::openTransfer(std::uint32_t request, std::string* peer)
{
    const std::shared_ptr<koNetLink> transferLink = connectServer(false);
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
    std::unique_ptr<koNetStream> transfer = connection->openTransfer(koSessionWire::RequestUploadScene);
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
    std::unique_ptr<koNetStream> transfer = connection->openTransfer(koSessionWire::RequestDownloadScene, &server);
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
