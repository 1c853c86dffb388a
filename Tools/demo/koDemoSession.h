#pragma once

#include "koDemoParticipant.h"
#include "koDemoTranscript.h"
#include "koLatencyStats.h"

#include "koChildProcess.h"

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

#include <chrono>
#include <functional>
#include <memory>
#include <vector>

// The scripted session of kosession-demo. It starts kosession-server on a
// free loopback port and kosession-client participants as child processes,
// types commands into them and reads what they print: joins, messages,
// poses, spectating, a scene upload, a late joiner who downloads the scene,
// a participant who drops without leaving, and a stop for everybody. Every
// wait is bounded; whatever still runs when the script ends is killed.
class koDemoSession
{
public:
    koDemoSession();
    ~koDemoSession();

    koDemoSession(const koDemoSession&) = delete;
    koDemoSession& operator=(const koDemoSession&) = delete;

    // Runs the script and prints the transcript and the summary; true when
    // every check passed.
    bool run();

private:
    using Clock = koChildProcess::Clock;

    bool findPrograms();
    bool startServer();
    bool joinFirstThree();
    bool exchangeMessages();
    bool exchangePoses();
    bool startSpectating();
    bool uploadScene();
    bool joinLate();
    bool dropWithoutLeaving();
    bool stopForEverybody();
    void printSummary();
    // Stops whatever still runs after a failure, without letting its last words into the transcript.
    void killRemaining();

    koDemoParticipant* startParticipant(const QString& name, const QString& color);
    // Waits until every participant in `watchers` has printed a line matching `pattern`.
    bool allSee(const std::vector<koDemoParticipant*>& watchers, const QString& pattern,
                std::chrono::milliseconds timeout);
    // Sends `count` rounds of a command from each sender in turn, one command
    // every `spacing`, and answers the send times by sender and round.
    std::vector<std::vector<Clock::time_point>> sendPaced(const std::vector<koDemoParticipant*>& senders, int count,
                                                          std::chrono::milliseconds spacing,
                                                          const std::function<QString(int sender, int round)>& command);
    void countRelayed();
    koDemoParticipant* byUserId(unsigned short userId) const;

    koDemoTranscript transcript;
    QString serverProgram;
    QString clientProgram;
    std::unique_ptr<koChildProcess> server;
    QString link;
    // Alice, Bob, Carol, then the late joiner Dave.
    std::vector<std::unique_ptr<koDemoParticipant>> participants;
    QTemporaryDir workFolder;
    QString scenePath;

    koLatencyStats mainLink;   // messages
    koLatencyStats secondLink; // poses
    int messagesRelayed = 0;
    int posesRelayed = 0;
    int rosterChanges = 0;
    int sceneAnnouncements = 0;
    qint64 sceneSize = 0;
    double uploadRate = 0.0;   // MiB/s
    double downloadRate = 0.0; // MiB/s
};
