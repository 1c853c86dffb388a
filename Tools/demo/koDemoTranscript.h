#pragma once

#include <QString>

#include <chrono>
#include <map>
#include <utility>

// The demo's readable account: step headings, what each program printed
// (with the time since the demo started), and the checks with their
// outcome. Lines that come by the dozen (messages, poses) are thinned to the
// first few per program and step; the rest are counted.
class koDemoTranscript
{
public:
    using Clock = std::chrono::steady_clock;

    koDemoTranscript();

    void heading(const QString& title);
    void note(const QString& text);
    // A line that program `label` printed, read at `when`.
    void showLine(const QString& label, const QString& line, bool fromError, Clock::time_point when);
    // A command that the demo typed into program `label` at `when`.
    void showCommand(const QString& label, const QString& command, Clock::time_point when);
    // Records a check and prints its outcome; answers `ok`.
    bool check(bool ok, const QString& what);
    // Prints how many lines were left out since the last call.
    void flushThinned();

    int getChecks() const { return checks; }
    int getFailures() const { return failures; }

private:
    // Prints a line unless it is one too many of its kind; `marker` tells
    // output ('|'), error output ('!') and typed input ('<') apart.
    void show(const QString& label, const QString& line, QChar marker, Clock::time_point when);
    static QString kindOf(const QString& line);

    Clock::time_point start;
    // Lines shown and left out, by program and kind, since the last flush.
    std::map<std::pair<QString, QString>, int> shown;
    std::map<std::pair<QString, QString>, int> leftOut;
    int checks = 0;
    int failures = 0;
};
