#include "koSessionDoorLog.h"

koSessionDoorLog::koSessionDoorLog(Clock::duration window, std::size_t maxAddresses)
    : window(window), maxAddresses(maxAddresses)
{
}

koSessionDoorLog::~koSessionDoorLog()
{
    flush();
}

void koSessionDoorLog::write(Level level, const std::string& address, const std::string& line)
{
    const Clock::time_point now = Clock::now();
    std::lock_guard<koSessionMutex> lock(mutex);
    const auto found = entries.find(address);
    if (found != entries.end() && now - found->second.logged < window) {
        ++found->second.suppressed;
        return;
    }
    if (found != entries.end()) {
        writeSuppressed(address, found->second);
        entries.erase(found);
    }
    if (entries.size() >= maxAddresses)
        prune(now);
    writeLine(level, line);
    // Past the bound on addresses (a flood from very many of them) a line is
    // still written once per new address, just not remembered.
    if (entries.size() < maxAddresses)
        entries[address].logged = now;
}

void koSessionDoorLog::flush()
{
    std::lock_guard<koSessionMutex> lock(mutex);
    for (const auto& entry : entries)
        writeSuppressed(entry.first, entry.second);
    entries.clear();
}

void koSessionDoorLog::prune(Clock::time_point now)
{
    for (auto it = entries.begin(); it != entries.end();) {
        if (now - it->second.logged < window) {
            ++it;
            continue;
        }
        writeSuppressed(it->first, it->second);
        it = entries.erase(it);
    }
}

void koSessionDoorLog::writeLine(Level level, const std::string& line)
{
    switch (level) {
    case Level::Debug:
        koLog::debug("%s", line.c_str());
        break;
    case Level::Info:
        koLog::info("%s", line.c_str());
        break;
    case Level::Warning:
        koLog::warning("%s", line.c_str());
        break;
    case Level::Error:
        koLog::error("%s", line.c_str());
        break;
    }
}

void koSessionDoorLog::writeSuppressed(const std::string& address, const Entry& entry)
{
    if (entry.suppressed > 0)
        koLog::info("%zu more refused or failed connections from %s were not logged", entry.suppressed,
                    address.c_str());
}
