#pragma once

#include "koSessionMutex.h"
#include "koSessionStateLog.h"

#include <QString>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

class koSessionChange;
class koSessionChangeList;
class koSessionChangeReader;

// Keeps a server's retained changes in a koSessionStateLog while the session
// runs. It follows the shared change list with an indexed reader of its own
// on a thread of its own, so the peers' relaying never waits for the disk and
// the log holds the changes in the list's order. Only participants' lasting
// changes are kept: the server's own roster is made afresh by every run, and
// transient changes are gone once read. When the changes that merging, scene
// loads and the byte cap removed from the list outnumber the live ones, the
// log is rewritten from what the list holds. A failed write is logged once and
// mended by such a rewrite about a second later.
//
// Use from the host thread: restore, start, stop. The list must outlive it.
class koSessionStateRecorder
{
public:
    using ChangePtr = std::shared_ptr<koSessionChange>;

    static constexpr std::chrono::milliseconds PollInterval{20};
    static constexpr std::chrono::seconds SyncInterval{1};

    koSessionStateRecorder(const QString& logFileName, std::shared_ptr<koSessionChangeList> list);
    // stop(); nothing escapes.
    ~koSessionStateRecorder();

    koSessionStateRecorder(const koSessionStateRecorder&) = delete;
    koSessionStateRecorder& operator=(const koSessionStateRecorder&) = delete;

    // The changes kept by an earlier run, in order, for the host to push into
    // the list before start. Throws std::runtime_error when the log cannot be
    // opened.
    std::vector<ChangePtr> restore();
    // Rewrites the log from what the list holds, then follows the list.
    void start();
    // Records what the list still has, syncs the log and joins the thread.
    // Safe to call more than once.
    void stop();

private:
    void run();
    // One round: what arrived, a rewrite when due, a sync when due.
    void recordRound(bool last);
    void record();
    void compact();

    std::shared_ptr<koSessionChangeList> list;
    std::shared_ptr<koSessionChangeReader> reader;
    koSessionStateLog log;
    // The list's index up to which the last rewrite took the changes; the
    // reader skips them.
    std::uint64_t compactedUpTo = 0;
    // A write failed: the log is rewritten before anything more is appended.
    bool broken = false;
    std::chrono::steady_clock::time_point lastSync;
    std::thread thread;
    // Guards `stopping`; taken by the host (stop) and the thread's waits.
    koSessionMutex mutex{koSessionLockRank::StateRecorder, "koSessionStateRecorder::mutex"};
    std::condition_variable_any wake;
    bool stopping = false;
};
