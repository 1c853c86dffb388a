#pragma once

#include "koClientOptions.h"
#include "koCommandInterpreter.h"
#include "koCommandReader.h"

#include "koSession.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <map>
#include <mutex>
#include <vector>

class koSessionUserPoseCommand;
class koSessionVersionError;

// One participant in the terminal: joins the session, executes the received
// changes every few milliseconds, prints what arrives (roster changes,
// messages, scene announcements, poses) and hands the typed commands to the
// interpreter. Main thread; needs a running event loop after join().
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
    // Joins with the options' record; false after printing why not.
    bool tryJoin();
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
    // Executes the received changes and notices Ctrl-C and a lost connection.
    QTimer ticker;
    // Names of the participants seen so far, for lines about them.
    std::map<unsigned short, QString> names;
    bool ended = false;
    // Guards arrivedPoses. Taken by the receiving thread that reports a pose
    // and by the main thread's tick that prints them; held only to copy.
    std::mutex poseMutex;
    std::vector<PoseSummary> arrivedPoses;
};
