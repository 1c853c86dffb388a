#pragma once

#include <functional>
#include <memory>

// Runs jobs on worker threads. A job never waits behind another job (a job may
// sleep a minute or transfer for minutes), so each runs on a thread of its own.
// The destructor waits for every job.
class koNetActionManager
{
public:
    // `workers` is a hint; 0 lets the manager choose.
    explicit koNetActionManager(int workers);
    ~koNetActionManager();

    koNetActionManager(const koNetActionManager&) = delete;
    koNetActionManager& operator=(const koNetActionManager&) = delete;

    // Starts the job and returns at once. An exception that escapes a job is
    // logged at error level and ends only that job. May be called from a job.
    void run(std::function<void()> job);

    // Returns when every job submitted so far (and every job those submit) has
    // finished. Must not be called from a job.
    void waitAll();

private:
    struct State;
    std::unique_ptr<State> state;
};
