#pragma once

#include "koSessionMutex.h"

#include "koLog.h"

#include <chrono>
#include <cstddef>
#include <map>
#include <string>

// The log of refused and failed connections, rate-limited per peer address so
// that a flood of connections cannot flood the log: at most one line per
// address per window, and the count of the lines held back comes with the
// address's next line (or when the entry is dropped). Thread-safe.
class koSessionDoorLog
{
public:
    using Clock = std::chrono::steady_clock;
    using Level = koLog::Level;

    koSessionDoorLog(Clock::duration window, std::size_t maxAddresses);
    ~koSessionDoorLog();

    koSessionDoorLog(const koSessionDoorLog&) = delete;
    koSessionDoorLog& operator=(const koSessionDoorLog&) = delete;

    // Logs `line` unless a line about `address` was logged within the window.
    void write(Level level, const std::string& address, const std::string& line);
    // Logs the counts still held back and forgets every address.
    void flush();

private:
    struct Entry
    {
        Clock::time_point logged;
        std::size_t suppressed = 0;
    };

    static void writeLine(Level level, const std::string& line);
    static void writeSuppressed(const std::string& address, const Entry& entry);
    // Drops the entries whose window has passed. Needs `mutex`.
    void prune(Clock::time_point now);

    const Clock::duration window;
    const std::size_t maxAddresses;
    // Guards `entries`; the log sink is called under it, so lines keep order.
    koSessionMutex mutex{koSessionLockRank::DoorLog, "koSessionDoorLog::mutex"};
    std::map<std::string, Entry> entries;
};
