#pragma once

#include "koSessionCommandContext.h"
#include "koSessionExport.h"
#include "koSessionUser.h"

#include <QObject>
#include <QString>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

class koNetSerializer;
class koSessionChange;
class koSessionChangeList;
class koSessionCommand;
class koSessionObserver;
class koSessionSceneBuffer;
class koSessionUserPoseCommand;

// One participant's connection to a session server: the facade makes one and
// calls join(); it sends the application's changes and executes the received
// ones on the main thread. It is the context in which received commands run.
//
// A joined connection runs a sending and a receiving thread per link (main
// and second link, see koSessionLinkPump), four in all; stop() or the
// destructor ends them, and a failing thread stops the whole object. Destroy
// the object on a thread other than its own four (the destructor joins
// them). Owned through std::shared_ptr by the facade; never copied.
//
// Threads: operations marked "main thread" belong to the application's main
// thread. Failures are koNetError (koSessionVersionError for a server of
// another version); the threads never let one escape.
class KOSESSION_EXPORT koSessionClient : public QObject, public koSessionCommandContext
{
    Q_OBJECT

public:
    // Answers the scene question of join(): true continues (waits for the
    // scene), false declines it.
    using SceneQuestion = std::function<bool()>;

    koSessionClient();
    // Stops and joins all threads before the members go.
    ~koSessionClient() override;

    koSessionClient(const koSessionClient&) = delete;
    koSessionClient& operator=(const koSessionClient&) = delete;

    // --- Joining ---------------------------------------------------------

    // Connects both links, is admitted and starts the threads; asks the user
    // about the scene when the session holds one. Main thread, once. Throws
    // koNetError ("Invalid session link or password", network failures,
    // "Joining the session has been aborted", "Joining the session has been
    // cancelled") or koSessionVersionError.
    void join(const QString& link, const koSessionUser& user, const QString& password, bool force);
    // Makes a running join() throw "Joining the session has been cancelled"
    // at once: shuts its links down, which wakes a handshake read, and ends
    // the wait for the scene. A connection attempt in progress still runs
    // to its own bound of a few seconds first. Any thread.
    void cancelJoin();
    // False once the object is stopped or any of its threads has been joined.
    // Any thread.
    bool isConnected();

    // How long join() and the scene transfers wait for each answer of the
    // server before they give up with koNetError ("Receiving from HOST:PORT
    // timed out after N s"): a server that takes the connection and never
    // answers must not hold the application. The command links, which may
    // stay quiet for hours, have no such bound. Main thread, before join().
    static constexpr double DefaultHandshakeTimeoutSeconds = 30.0;
    void setHandshakeTimeout(double seconds);

    // Replaces how join() asks whether to load the session's scene and returns
    // the previous answerer. By default a modal QMessageBox asks the user; a
    // host without widgets (server tool, terminal participant, test) installs
    // its own. An empty function restores the message box. Process-wide; any
    // thread, but not while a join() is asking.
    static SceneQuestion setSceneQuestion(SceneQuestion question);

    // --- Command pump ----------------------------------------------------

    // Queues the command for the main link, unless the object is executing
    // received changes or the command's type is blocked: then an addressed
    // command is still queued, an echoing one is executed here at once and
    // any other is dropped. Main thread. Throws koNetError, before anything
    // is queued, for a payload above koSessionChange::maxPayloadSize.
    void push(const koSessionCommand& command);
    // Queues the command for the second link, always. Any thread.
    void pushAsync(const koSessionCommand& command);
    // Block counts by command type (0: all types) for push(). Main thread.
    void block(unsigned int type);
    void unblock(unsigned int type);
    bool isBlocking();
    bool isBlocking(const koSessionCommand& command);
    bool isExecuting();
    bool isJoinCompleted();
    // Executes every received change waiting in the server changes. Main
    // thread; an exception from a change passes to the caller.
    void executeCommands();
    std::shared_ptr<koSessionChangeList> getServerChanges();
    // Sets the stop flag and shuts both links down, first letting
    // both sending threads send what was pushed (at most about 1 s), so
    // a change pushed before stop() is delivered. Any thread.
    void stop();
    // Joins the threads. Not from one of them (a thread never joins itself).
    void wait();
    // Asks the server to stop over a connection of its own; never throws.
    // Main thread.
    void stopForAll();
    // Marks the session as ended for everybody with `reason`, then stops.
    // Runs when the server's end notice is executed: the participant closes
    // its links itself, so no link's end can be taken for a lost server.
    // Any thread.
    void endForEverybody(const QString& reason) override;
    // Why the server ended the session for everybody; empty while the
    // session goes on and after any other end (a lost server, a leave).
    // Any thread; stays readable after the drop.
    QString getEndReason() const;

    // --- Scene transfer --------------------------------------------------

    // Sends `data` under `name` to the server over a connection of its own,
    // with progress "Uploading scene ..." in pieces of 1 MiB. An abort
    // (koNetProgress) leaves the upload short; the server then keeps its
    // previous scene and answers nothing either way. Main thread; blocks
    // until the bytes are out. Throws koNetError (link or password, the
    // connection, a name too long for the wire); the progress it began is
    // ended before an exception passes, so the caller need not.
    void uploadScene(const std::vector<char>& data, const QString& name);
    // Fetches the stored scene into `data` and `name`, with progress
    // "Downloading scene ...". False without any connection for the first
    // call after the user declined the scene in join(), and false when the
    // user aborted: `data` then has the announced size but holds only the
    // pieces that arrived ("Download aborted by user" is logged). Main
    // thread; blocks. Throws koNetError (no scene stored: the server closes
    // the link; an announced size above
    // koSessionSceneWire::DefaultMaxSceneBytes; link failures); the progress
    // it began is ended before an exception passes.
    bool downloadScene(std::vector<char>& data, QString& name);
    // The same into `data`, which is not zero-filled first and keeps its
    // memory: a buffer kept for later downloads writes into pages it already
    // has. After an abort it holds the bytes that arrived.
    bool downloadScene(koSessionSceneBuffer& data, QString& name);

    // --- Roster ----------------------------------------------------------

    // The own record, read without a lock: only for the thread that writes
    // it, the main thread of a joining client (through the facade). A
    // server-role peer's record is written by its receiving thread, so every
    // other reader, the server's threads included, takes copyUser().
    const koSessionUser& getUser();
    // A copy of the own record taken under the lock; any thread.
    koSessionUser copyUser() const;
    // The own user identifier; any thread.
    unsigned short getUserId() const override;
    // The roster as last applied. Main thread.
    const std::vector<koSessionUser>& getUsers();
    // The roster without the own record, order kept. Main thread.
    std::vector<koSessionUser> getOtherUsers();
    int getColorIndex();
    // Applies a new roster and reports userAdded, then userChanged and
    // userRemoved to the observer. On the thread that executes the roster
    // command.
    void setUsers(const std::vector<koSessionUser>& newUsers) override;
    // Changes the own record (the identifier stays) and sends it to the
    // server. Main thread; throws koNetError for a record above its limits
    // (koSessionUser::checkLimits).
    void updateUserInfo(const koSessionUser& info) override;
    // Reports the pose to the observer.
    void showPose(const koSessionUserPoseCommand& pose) override;
    koSessionClient* getClient() override;

    // Where roster and pose events go: `observer`, or the process-wide
    // default (koSessionObserver::setDefault) when null, the default.
    // Before join.
    void setObserver(koSessionObserver* observer);

private:
    // The connection's links with their pump, the links of a join in
    // progress, and the lock; defined with the client, so that this header
    // names only what a host has.
    class Connection;

    // Handshake
    void joinSteps(bool force);
    void endJoinWatch();
    bool askSceneQuestion();
    void waitForScene();

    // Reads the scene's bytes, `size` of them announced, into the caller's
    // storage with the transfer's progress running.
    using SceneReceiver = std::function<void(koNetSerializer& transfer, std::size_t size)>;
    bool downloadSceneWith(QString& name, const SceneReceiver& receive);

    // Replaces `taken` with everything serverChanges holds; false when empty.
    bool takeServerChanges();
    koSessionObserver* getObserver() const;

    // Roster
    void updateSpectatorState();

    bool executing = false;
    bool joinCompleted = false;
    bool sceneDeclined = false;
    std::atomic<bool> joinCancelled{false};
    // Whether join() runs, under the connection's lock, for cancelJoin().
    bool joinRunning = false;
    std::shared_ptr<koSessionChangeList> serverChanges;
    // Main thread only: changes executeCommands took from serverChanges in one
    // lock, from position nextTaken on still to run (after a change threw).
    std::vector<std::shared_ptr<koSessionChange>> taken;
    std::size_t nextTaken = 0;
    std::shared_ptr<koSessionChangeList> outgoingChanges;
    std::shared_ptr<koSessionChangeList> asyncOutgoingChanges;
    koSessionUser user;
    koSessionObserver* observer = nullptr;
    std::vector<koSessionUser> users;
    QString link;
    QString password;
    double handshakeTimeout = DefaultHandshakeTimeoutSeconds;
    // Set once by endForEverybody, under the connection's lock.
    QString endReason;
    int colorIndex = 0;
    std::map<unsigned int, int> blocks;
    // Declared last: the threads go before the members they use.
    std::unique_ptr<Connection> connection;
};
