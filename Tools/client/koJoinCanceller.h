#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>

class koSession;

// Turns Ctrl-C into koSession::cancelJoin() while the main thread is blocked
// in the join: while the object lives, a thread of its own looks at the
// interrupt flag every few milliseconds. Main thread.
class koJoinCanceller
{
public:
    explicit koJoinCanceller(koSession& session);
    // Stops and joins the thread.
    ~koJoinCanceller();

    koJoinCanceller(const koJoinCanceller&) = delete;
    koJoinCanceller& operator=(const koJoinCanceller&) = delete;

    // Whether Ctrl-C came and the join was cancelled.
    bool hasCancelled();

private:
    void watch(koSession& session);

    // Guards `stopping` and `cancelled`; `wake` ends the thread's pause early.
    std::mutex mutex;
    std::condition_variable wake;
    bool stopping = false;
    bool cancelled = false;
    std::thread thread;
};
