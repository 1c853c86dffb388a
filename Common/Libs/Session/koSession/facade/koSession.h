#pragma once

#include "koSessionExport.h"
#include "koSessionSceneBuffer.h"
#include "koSessionUser.h"

#include <QByteArray>
#include <QColor>
#include <QList>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <utility>
#include <vector>

class koSessionClient;
class koSessionCommand;
class koSessionMutex;
class koSessionUserPoseCommand;

// A participant's user identifier; 0 means none or everybody. Declared as its
// own name so that signals carry "koSessionUserId" in the meta-object.
typedef unsigned short koSessionUserId;

// The process-wide object through which the host application takes part in a
// session: it runs at most one client connection and forwards the
// application's requests to it, its signals report roster and pose changes,
// it holds the default participant colours, and its static operations make
// and read session links.
//
// Threads: the first the() must not race with another call; the object then
// belongs to that thread. The session operations have no lock: call them all
// from that one thread, the application's main thread. getDefaultColor and the
// link operations may be called from any thread. Signals are raised on the
// thread that executes the change causing them; the pointer of poseChanged is
// valid only during the emission.
//
// Guards: most session operations reach the client only while the session is
// active (a join has completed and the client still reports itself
// connected); otherwise they do nothing and answer false, an empty roster or
// the empty record, without logging. After the connection drops they stay
// ignored, leave() and stopForAll() included, until the next join.
class KOSESSION_EXPORT koSession : public QObject
{
    Q_OBJECT

public:
    // The one instance, created on the first call; owned by the library and
    // destroyed when the library is unloaded.
    static koSession& the();
    ~koSession() override;

    koSession(const koSession&) = delete;
    koSession& operator=(const koSession&) = delete;

    // The colour of entry `index` modulo 20 of the default colour table. A
    // negative index counts back from the end of the table.
    QColor getDefaultColor(int index) const;
    // The 20 default colours with their translated names, in table order.
    QList<std::pair<QColor, QString>> getDefaultColors() const;

    // A new link "<address>/<identifier>" with a fresh random session
    // identifier; an empty password makes an unprotected link. Never throws.
    static QString createSessionLink(const QString& address, const QString& password);
    // Splits `link` into `address` and `sessionId` and answers whether it is
    // usable with `password`. Fills both outputs even when it answers false.
    // Never throws for a malformed link.
    static bool tryDecryptSessionLink(const QString& password, const QString& link,
                                      QString& address, QString& sessionId);

    // Answers whether join() loads the scene that the session already holds:
    // true waits for its announcement (the host then fetches the bytes with
    // downloadScene), false declines it. By default a modal message box asks
    // the user, and a program without QApplication declines. Replaces the
    // process-wide answerer and returns the previous one; an empty function
    // restores the message box. Not while a join is asking.
    using SceneQuestion = std::function<bool()>;
    static SceneQuestion setSceneQuestion(SceneQuestion question);

    // --- Session (main thread only) ----------------------------------------

    // Joins the session of `link` with a new client, which replaces the
    // current one only on success; until then the current one stays and keeps
    // running. Blocks for the handshake; processes events only while waiting
    // for the session's scene. Remembers `link` even when it fails. Throws
    // what the client's join throws, unchanged: koNetError ("Invalid session
    // link or password", network failures, "Joining the session has been
    // aborted") or koSessionVersionError; the facade is then not joined.
    void join(const QString& link, const koSessionUser& user, const QString& password, bool force);
    // Makes a join() in progress throw koNetError ("Joining the session has
    // been cancelled") as soon as its current connection attempt ends (a few
    // seconds at most); nothing when none runs. Any thread (a watcher of
    // Ctrl-C while the main thread is blocked in join).
    void cancelJoin();
    // Active only: drops the facade's share of the client, which sends what
    // was pushed (at most about 1 s), then stops and joins its threads when
    // nobody else holds it. Never throws.
    void leave();
    // Active only: asks the server to end the session for everybody (failures
    // are swallowed), then leaves if still active. Never throws.
    void stopForAll();
    // Whether the session is active. Never throws.
    bool isConnected();
    // Whether a join succeeded and neither leave() nor stopForAll() came
    // since; stays true after the connection drops. Never throws.
    bool isJoined() const;
    // Whether the first roster holding the own record has arrived; needs a
    // join but not a live connection. Never throws.
    bool isJoinCompleted();
    // Active, not executing received changes, and not everything blocked.
    bool isReadyToUse();
    // Active only: executes every received change on this thread. An
    // exception from a change's execution passes to the caller.
    void executeChanges();
    // Active only: queues the command for the main link, or keeps it local
    // while executing or blocked (see koSessionClient::push). The command is
    // copied; the caller keeps it. Dropped silently when not active. Throws
    // koNetError, before queuing, for a payload above the payload limit.
    void pushCommand(const koSessionCommand& command);
    // Active only: queues the command for the second link, where receivers
    // execute it on their receiving threads. Dropped silently when not active.
    void pushAsyncCommand(const koSessionCommand& command);
    // Active only: sends the scene to the server over a connection of its
    // own, with progress; blocks until the bytes are out (the server answers
    // nothing). Throws what the client's upload throws (koNetError).
    void uploadScene(const std::vector<char>& data, QString name);
    // Active only: fetches the stored scene into `data` and `name`, with
    // progress; blocks. Whether it arrived whole is not told: after an abort
    // `data` holds only the pieces that came, and the first call after the
    // user declined the scene in join leaves both as they were. Untouched
    // when not active. Throws what the client's download throws (koNetError,
    // also when the server holds no scene).
    void downloadScene(std::vector<char>& data, QString& name);
    // The same into a scene buffer, which is not zero-filled first: a buffer
    // kept for the next download writes into memory it already has.
    void downloadScene(koSessionSceneBuffer& data, QString& name);
    // Block counts by command type (0: all types) for pushCommand. Reach the
    // current client whenever there is one, connected or not; nothing after
    // leave(). Never throw.
    void block(unsigned int type);
    void unblock(unsigned int type);
    // Active: the own participant record. Otherwise one empty record that
    // lives for the whole process (the same object on every call). The
    // reference stays valid until the next join or leave.
    const koSessionUser& getUser();
    // Active only: changes the own record (its identifier stays) and sends it
    // to the server, which broadcasts the new roster. Throws koNetError for a
    // record over its limits (koSessionUser::checkLimits).
    void updateUserInfo(const koSessionUser& user);
    // Active: a copy of the roster as last applied; otherwise empty.
    std::vector<koSessionUser> getUsers();
    // The link given to the most recent join, whether it succeeded or not.
    QString getSessionLink() const;
    // Why the server ended the session for everybody: the text of its end
    // notice, which closes the connection as it arrives. Empty before that
    // notice, when the connection was lost for any other reason (a crashed
    // or unreachable server, where a rejoin may help), and after leave() or
    // the next join. Never throws.
    QString getEndReason();

signals:
    void userAdded(const koSessionUser& user);
    void userRemoved(koSessionUserId userId);
    void userChanged(const koSessionUser& user);
    void poseChanged(const koSessionUserPoseCommand* pose);

private:
    // Raises the signals for the participant connections' events.
    class Observer;

    koSession();

    // The client when the session is active (joined, client held and
    // connected), else empty. Callers keep the returned share for the whole
    // call, so a command that leaves or joins while it executes cannot
    // destroy the client under them.
    std::shared_ptr<koSessionClient> activeClient();
    // The client when joined and held, connected or not, else empty.
    std::shared_ptr<koSessionClient> joinedClient();
    void setJoining(const std::shared_ptr<koSessionClient>& newClient);

    // The current client: made unconnected by the constructor, replaced by
    // each successful join, emptied by leave and stopForAll. Main thread only.
    std::shared_ptr<koSessionClient> client;
    // The client of a join in progress, for cancelJoin(); under joiningMutex,
    // taken by join (main thread) and cancelJoin (any thread). Held through a
    // pointer so that this header needs no lock type of the library.
    const std::unique_ptr<koSessionMutex> joiningMutex;
    std::shared_ptr<koSessionClient> joining;
    // True from a successful join until leave or stopForAll. Main thread only.
    bool joined = false;
    // The link of the most recent join. Main thread only.
    QString sessionLink;
    QList<std::pair<QColor, QString>> defaultColors;
    // The process-wide default observer while this object lives.
    std::unique_ptr<Observer> observer;

    static std::shared_ptr<koSession> s_the;
};
