#include "koSessionHandshakeGate.h"

#include "koNetLink.h"

#include <algorithm>

koSessionHandshakeGate::koSessionHandshakeGate(std::size_t maxJobs, std::size_t maxJobsPerAddress,
                                               Clock::duration deadline)
    : maxJobs(maxJobs), maxJobsPerAddress(maxJobsPerAddress), deadline(deadline)
{
}

koSessionHandshakeGate::~koSessionHandshakeGate()
{
    shutDown();
    join();
}

void koSessionHandshakeGate::open()
{
    std::lock_guard<koSessionMutex> lock(mutex);
    if (isOpen)
        return;
    isOpen = true;
    watcher = std::thread([this] { watch(); });
}

void koSessionHandshakeGate::shutDown()
{
    std::lock_guard<koSessionMutex> lock(mutex);
    isOpen = false;
    for (Job& job : jobs)
        if (!job.done)
            job.link->shutdown();
    changed.notify_all();
}

void koSessionHandshakeGate::join()
{
    // The watcher ends once the gate is shut and its last job is reaped.
    if (watcher.joinable())
        watcher.join();
}

koSessionHandshakeGate::Outcome koSessionHandshakeGate::tryRun(const std::shared_ptr<koNetLink>& link,
                                                               const std::string& address,
                                                               std::function<void()> work)
{
    std::lock_guard<koSessionMutex> lock(mutex);
    if (!isOpen)
        return Outcome::Closed;
    reapFinished();
    std::size_t running = 0;
    std::size_t fromAddress = 0;
    for (const Job& job : jobs) {
        if (job.done)
            continue;
        ++running;
        if (job.address == address)
            ++fromAddress;
    }
    if (running >= maxJobs)
        return Outcome::TooManyInAll;
    if (fromAddress >= maxJobsPerAddress)
        return Outcome::TooManyFromAddress;

    jobs.emplace_back();
    Job& job = jobs.back();
    job.link = link;
    job.address = address;
    job.deadline = Clock::now() + deadline;
    try {
        // The new thread cannot reach finish() before this lock is released,
        // so the thread object is in place by then.
        job.thread = std::thread([this, &job, work = std::move(work)]() mutable {
            try {
                auto run = std::move(work);
                run();
            } catch (...) {
                // The job logs its own failures; nothing may end the thread.
            }
            finish(&job);
        });
    } catch (...) {
        jobs.pop_back();
        throw;
    }
    changed.notify_all();
    return Outcome::Started;
}

bool koSessionHandshakeGate::hasExpired(const koNetLink* link)
{
    std::lock_guard<koSessionMutex> lock(mutex);
    return std::any_of(jobs.begin(), jobs.end(),
                       [link](const Job& job) { return !job.done && job.link.get() == link && job.expired; });
}

void koSessionHandshakeGate::finish(Job* job)
{
    std::shared_ptr<koNetLink> link;
    {
        std::lock_guard<koSessionMutex> lock(mutex);
        job->done = true;
        link.swap(job->link);
        changed.notify_all();
    }
    // The gate's share may be the last: the connection closes here, unlocked.
}

void koSessionHandshakeGate::reapFinished()
{
    for (auto it = jobs.begin(); it != jobs.end();) {
        if (!it->done) {
            ++it;
            continue;
        }
        it->thread.join();
        it = jobs.erase(it);
    }
}

void koSessionHandshakeGate::watch()
{
    std::unique_lock<koSessionMutex> lock(mutex);
    for (;;) {
        reapFinished();
        if (!isOpen && jobs.empty())
            return;
        const Clock::time_point now = Clock::now();
        Clock::time_point next = Clock::time_point::max();
        for (Job& job : jobs) {
            if (job.done || job.expired)
                continue;
            if (job.deadline <= now) {
                job.expired = true;
                job.link->shutdown();
            } else {
                next = std::min(next, job.deadline);
            }
        }
        if (next == Clock::time_point::max())
            changed.wait(lock);
        else
            changed.wait_until(lock, next);
    }
}
