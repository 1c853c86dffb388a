#pragma once

#include "koChildProcess.h"

#include <QString>
#include <QStringList>

#include <chrono>

class koDemoTranscript;

// One participant of the demo: a kosession-client child process, what it
// printed, and the user number that the server gave it.
class koDemoParticipant
{
public:
    using Clock = koChildProcess::Clock;

    koDemoParticipant(const QString& name, koDemoTranscript& transcript);

    // Starts the program; its lines go to the transcript as they come.
    bool start(const QString& program, const QStringList& arguments);
    // Waits for its "joined" line and reads its user number from it.
    bool waitUntilJoined(std::chrono::milliseconds timeout);
    // Types a command into it (and into the transcript); answers when.
    Clock::time_point send(const QString& command);

    const QString& getName() const { return name; }
    unsigned short getUserId() const { return userId; }
    koChildProcess& getProcess() { return process; }

private:
    QString name;
    koDemoTranscript& transcript;
    koChildProcess process;
    unsigned short userId = 0;
};
