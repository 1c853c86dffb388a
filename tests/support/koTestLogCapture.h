#pragma once

// Captures every koLog line while it lives and puts the previous sink back
// afterwards (the sink is process-wide). Any thread may log into it.

#include "koLog.h"

#include <chrono>
#include <mutex>
#include <string>
#include <vector>

namespace koTest {

class LogCapture
{
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // Texts of the captured lines, in order; with a level, only that level's.
    std::vector<std::string> lines() const;
    std::vector<std::string> lines(koLog::Level level) const;
    // Lines that contain `part`.
    int count(const std::string& part) const;
    bool waitFor(const std::string& part, std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

private:
    struct Line
    {
        koLog::Level level;
        std::string text;
    };
    koLog::Sink previous;
    // Guards captured; taken by the sink (any thread) and the test's readers.
    mutable std::mutex mutex;
    std::vector<Line> captured;
};

} // namespace koTest
