#pragma once

#include "koSessionMutex.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <thread>

class koNetLink;

// Runs the handshake of each new connection on a thread of its own, so that
// the accept thread never waits on one connection. Bounded in jobs at once,
// in all and per peer address, and every job has one deadline for its whole
// run: when it passes, the job's link is shut down, which makes the job's
// next (or current) read fail. One watcher thread keeps the deadlines and
// joins the threads of finished jobs.
//
// Use: open; tryRun for each connection; shutDown (refuses new jobs and cuts
// the running ones short); join; then open again or destroy. The destructor
// shuts down and joins. All operations are thread-safe; join must not be
// called from a job.
class koSessionHandshakeGate
{
public:
    using Clock = std::chrono::steady_clock;

    koSessionHandshakeGate(std::size_t maxJobs, std::size_t maxJobsPerAddress, Clock::duration deadline);
    ~koSessionHandshakeGate();

    koSessionHandshakeGate(const koSessionHandshakeGate&) = delete;
    koSessionHandshakeGate& operator=(const koSessionHandshakeGate&) = delete;

    enum class Outcome { Started, TooManyInAll, TooManyFromAddress, Closed };

    // Starts `job` on a thread of its own unless a bound is reached or the
    // gate is not open. `link` is what the deadline shuts down; `address`
    // names the peer for the per-address bound.
    Outcome tryRun(const std::shared_ptr<koNetLink>& link, const std::string& address,
                   std::function<void()> job);
    // True when the deadline of the running job on `link` has passed; the job
    // asks this to tell a late peer from a failing one.
    bool hasExpired(const koNetLink* link);

    void open();
    void shutDown();
    void join();

private:
    struct Job
    {
        std::shared_ptr<koNetLink> link;
        std::string address;
        Clock::time_point deadline;
        bool expired = false;
        bool done = false;
        std::thread thread;
    };

    void watch();
    void finish(Job* job);
    // Joins the threads of finished jobs and drops them. Needs `mutex`; the
    // threads joined have already left every lock.
    void reapFinished();

    const std::size_t maxJobs;
    const std::size_t maxJobsPerAddress;
    const Clock::duration deadline;

    // Guards everything below; taken by the accept thread, the jobs, the
    // watcher and the host, and by the server's stop under the server's lock.
    koSessionMutex mutex{koSessionLockRank::HandshakeGate, "koSessionHandshakeGate::mutex"};
    // Wakes the watcher: a job started or finished, or the gate shuts down.
    std::condition_variable_any changed;
    std::list<Job> jobs;
    bool isOpen = false;
    std::thread watcher;
};
