#pragma once

#include "koSessionExport.h"
#include "koSessionUser.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

// Rejoins the facade's session when its connection is lost: watches the
// session that the host joined (koSession::the()) and, when the connection
// ends without the server's end notice, joins again with the same link,
// password and participant record, after pauses that grow from 0.5 s to
// 10 s, until it succeeds or the limit since the loss has passed. A server
// that ends the session for everybody (koSession::getEndReason) is not
// rejoined, nor one whose link the password does not open or that runs
// another version: retrying cannot help there.
//
// A rejoin is a late join. The host gets a new user identifier and, through
// the facade's signals, the whole roster again (userAdded for everybody),
// then every change the server keeps for newcomers (the merged state) is
// executed again, and the scene question is asked again when the session
// holds a scene. The host should apply them as it does after its first join.
// Changes pushed while the connection was down are dropped by the facade;
// keep them and push them after rejoined() if they matter.
//
// Threads: the host's main thread (the facade's), with a running event loop;
// every wait is a timer on it. A rejoin attempt blocks like koSession::join
// (a few seconds at most without an answer, koSession::cancelJoin from
// another thread ends it). A leave() or stopForAll() of the host ends the
// watch quietly.
class KOSESSION_EXPORT koSessionRejoiner : public QObject
{
    Q_OBJECT

public:
    static constexpr int DefaultLimitSeconds = 300;
    static constexpr int FirstPauseMilliseconds = 500;
    static constexpr int LongestPauseMilliseconds = 10000;
    // How often the facade's connection is looked at.
    static constexpr int WatchMilliseconds = 100;

    explicit koSessionRejoiner(QObject* parent = nullptr);
    // Stops; safe during an attempt's own event processing (the attempt
    // returns without touching the object).
    ~koSessionRejoiner() override;

    // Starts watching the facade's session, which the host has joined with
    // these arguments; a rejoin uses them again. Replaces an earlier watch.
    void watch(const QString& link, const koSessionUser& user, const QString& password);
    // Ends the watch and cancels a pending rejoin; nothing is emitted after it.
    void stop();
    // How long after a loss rejoining may go on; 0 switches rejoining off (a
    // loss then gives up at once). Negative counts as 0.
    void setLimitSeconds(int seconds);
    int getLimitSeconds() const;
    // Between connectionLost and rejoined or gaveUp.
    bool isRejoining() const;

signals:
    // The connection ended without the end notice; rejoining starts.
    void connectionLost();
    // Joined again: the facade is active with a new client.
    void rejoined();
    // No more attempts: the limit passed, rejoining is off, or a retry
    // cannot help. `reason` says which, for a person.
    void gaveUp(const QString& reason);
    // The server ended the session for everybody; `reason` is its text.
    void sessionEnded(const QString& reason);

private:
    void look();
    void attempt();
    void giveUp(const QString& reason);

    QString link;
    koSessionUser user;
    QString password;
    int limitSeconds = DefaultLimitSeconds;
    bool rejoining = false;
    // Before the next attempt.
    int pause = FirstPauseMilliseconds;
    // Since the loss.
    QElapsedTimer lost;
    QTimer watcher;
    QTimer retry;
};
