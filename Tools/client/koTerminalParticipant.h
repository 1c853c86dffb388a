#pragma once

#include "koClientOptions.h"
#include "koCommandInterpreter.h"
#include "koCommandReader.h"

#include "koJoinCanceller.h"

#include "koSession.h"
#include "koSessionRejoiner.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

class koSessionUserPoseCommand;
class koSessionVersionError;

// One participant in the terminal: joins the session, executes the received
// changes every few milliseconds, prints what arrives (roster changes,
// messages, scene announcements, poses) and hands the typed commands to the
// interpreter. It rejoins a lost session, keeping the lines typed meanwhile
// for after the rejoin. Main thread; needs a running event loop after join().
class koTerminalParticipant : public QObject
{
    Q_OBJECT

public:
    explicit koTerminalParticipant(const koClientOptions& options);
    ~koTerminalParticipant() override;

    // Joins the session of the options' link; false after printing why not.
    bool join();

signals:
    // The session is over for this participant; the program exits with `exitCode`.
    void finished(int exitCode);

private:
    // What this participant prints of a pose, copied on the receiving thread.
    struct PoseSummary
    {
        unsigned short userId = 0;
        float camera[3] = {0, 0, 0};
        bool head = false;
        bool leftHand = false;
        bool rightHand = false;
        bool pointer = false;
        float pointerFrom[3] = {0, 0, 0};
        float pointerTo[3] = {0, 0, 0};
    };

    void connectSignals();
    void connectRejoiner();
    // The record the participant joins and rejoins with.
    koSessionUser ownRecord() const;
    // Joins with the options' record; false after printing why not.
    bool tryJoin();
    // Executes received changes until the roster holds this participant;
    // false after leaving and printing why not (a bound, a drop, Ctrl-C).
    bool awaitRoster();
    // False after leaving and printing why, for a --spectate number that
    // names nobody else in the roster.
    bool checkSpectated();
    // Runs `printer` now, or once the roster is here (showHeld).
    bool holding() const;
    void show(std::function<void()> printer);
    void showHeld();
    // Executes the received changes; a failing one is reported, not thrown.
    void executeReceived();
    // Runs a typed line, or keeps it while the connection is down.
    void command(const QString& verb, const QString& rest);
    void inputClosed();
    void rejoined();
    void replay();
    // Leaves when Ctrl-C came, also while rejoining; true then.
    bool interrupted();
    // Says how many kept lines go unsent, then ends.
    void endUnsent(const QString& message, int exitCode);
    void printJoinError(const QString& message) const;
    void printVersionError(const koSessionVersionError& e) const;
    void tick();
    void end(const QString& message, int exitCode);

    void userAdded(const koSessionUser& user);
    void userChanged(const koSessionUser& user);
    void userRemoved(koSessionUserId userId);
    // Any thread: poses arrive on the second link's receiving thread. Queues
    // what is printed of the pose for the main thread.
    void poseArrived(const koSessionUserPoseCommand* pose);
    void printArrivedPoses();
    void printPose(const PoseSummary& pose);
    void printMessage(unsigned short from, const QString& text, bool toMeOnly);
    void printScene(unsigned short from, const QString& name, qint64 size);
    QString nameOf(unsigned short userId) const;
    QString describe(const koSessionUser& user) const;

    const koClientOptions& options;
    koCommandReader reader;
    koCommandInterpreter interpreter;
    koSessionRejoiner rejoiner;
    // While rejoining: turns Ctrl-C into the end of a blocked attempt.
    std::unique_ptr<koJoinCanceller> canceller;
    // Lines typed while the connection was down, in order.
    std::vector<std::pair<QString, QString>> kept;
    // Rejoined: the kept lines go once the roster is back.
    bool replayKept = false;
    // The input ended while rejoining: leave once the kept lines are sent.
    bool leaveAfterRejoin = false;
    // Executes the received changes and notices Ctrl-C and a lost connection.
    QTimer ticker;
    // Names of the participants seen so far, for lines about them.
    std::map<unsigned short, QString> names;
    // Lines that wait for the roster, in order.
    std::vector<std::function<void()>> held;
    // The first "joined" line is out.
    bool joinedSaid = false;
    bool ended = false;
    // Guards arrivedPoses. Taken by the receiving thread that reports a pose
    // and by the main thread's tick that prints them; held only to copy.
    std::mutex poseMutex;
    std::vector<PoseSummary> arrivedPoses;
};
