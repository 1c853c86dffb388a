#include "koDemoParticipant.h"

#include "koDemoTranscript.h"

#include <QRegularExpression>

koDemoParticipant::koDemoParticipant(const QString& name, koDemoTranscript& transcript)
    : name(name)
    , transcript(transcript)
    , process(name)
{
    process.setLineObserver([&transcript](const koChildProcess& child, const koChildProcess::Line& line) {
        transcript.showLine(child.getLabel(), line.text, line.fromError, line.when);
    });
}

bool koDemoParticipant::start(const QString& program, const QStringList& arguments)
{
    return process.start(program, arguments);
}

bool koDemoParticipant::waitUntilJoined(std::chrono::milliseconds timeout)
{
    static const QRegularExpression joined(QStringLiteral("^joined \\S+ as user (\\d+) \""));
    const int index = process.waitForLine(joined, timeout);
    if (index < 0)
        return false;
    userId = static_cast<unsigned short>(
        joined.match(process.getLines()[static_cast<std::size_t>(index)].text).captured(1).toUInt());
    return userId != 0;
}

koDemoParticipant::Clock::time_point koDemoParticipant::send(const QString& command)
{
    const Clock::time_point when = process.writeLine(command);
    transcript.showCommand(name, command, when);
    return when;
}
