#include "koSessionStateRecorder.h"

#include "koSessionChange.h"
#include "koSessionChangeList.h"
#include "koSessionChangeReader.h"

#include "koLog.h"

namespace {

bool isKept(const koSessionChange& change)
{
    return change.getChangedBy() != 0 && !change.isTransient();
}

} // namespace

koSessionStateRecorder::koSessionStateRecorder(const QString& logFileName, std::shared_ptr<koSessionChangeList> list)
    : list(std::move(list))
    , log(logFileName)
{
}

koSessionStateRecorder::~koSessionStateRecorder()
{
    stop();
}

std::vector<koSessionStateRecorder::ChangePtr> koSessionStateRecorder::restore()
{
    return log.open();
}

void koSessionStateRecorder::start()
{
    // Registered before the rewrite reads the list: nothing pushed meanwhile
    // can fall between the two.
    reader = list->getReader(true);
    compact();
    lastSync = std::chrono::steady_clock::now();
    stopping = false;
    thread = std::thread([this] { run(); });
}

void koSessionStateRecorder::stop()
{
    {
        std::lock_guard<koSessionMutex> lock(mutex);
        stopping = true;
    }
    wake.notify_all();
    if (thread.joinable())
        thread.join();
    reader.reset();
}

void koSessionStateRecorder::run()
{
    for (bool last = false; !last;) {
        {
            std::unique_lock<koSessionMutex> lock(mutex);
            wake.wait_for(lock, PollInterval, [this] { return stopping; });
            last = stopping;
        }
        try {
            recordRound(last);
        } catch (const std::exception& e) {
            if (!broken)
                koLog::error("Unable to keep the session's changes on disk: %s", e.what());
            broken = true;
        } catch (...) {
            if (!broken)
                koLog::error("Unable to keep the session's changes on disk");
            broken = true;
        }
    }
}

void koSessionStateRecorder::recordRound(bool last)
{
    const auto now = std::chrono::steady_clock::now();
    const bool due = last || now - lastSync >= SyncInterval;
    if (broken && due) {
        // Once a second at most: a full disk is not written over and over.
        lastSync = now;
        compact();
        broken = false;
    }
    record();
    if (!broken && log.isWorthCompacting(list->size()))
        compact();
    if (due && !broken) {
        log.sync();
        lastSync = now;
    }
}

// A broken log takes nothing: the rewrite that mends it takes these changes
// from the list, but the reader still moves on so transients can go.
void koSessionStateRecorder::record()
{
    ChangePtr change;
    while (reader->tryPop(change)) {
        if (!broken && reader->getCurrentIndex() > compactedUpTo && isKept(*change))
            log.append(*change);
    }
}

void koSessionStateRecorder::compact()
{
    koSessionChangeReader snapshot(list.get(), true);
    std::vector<ChangePtr> kept;
    ChangePtr change;
    while (snapshot.tryPop(change)) {
        if (isKept(*change))
            kept.push_back(change);
    }
    compactedUpTo = snapshot.getCurrentIndex();
    log.rewrite(kept);
}
