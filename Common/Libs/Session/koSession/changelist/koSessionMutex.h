#pragma once

#include "koSessionLockOrder.h"

#include <mutex>

// A plain std::mutex with its rank in the lock order (koSessionLockOrder.h)
// and a name for the report. Where koSessionLockOrder::Checked, every take
// is checked against the locks the thread holds; elsewhere it is exactly a
// std::mutex. Use it through std::lock_guard or std::unique_lock, and wait
// on it with std::condition_variable_any, which releases and retakes it
// through unlock() and lock(), so the record stays true across a wait.
class koSessionMutex
{
public:
    koSessionMutex(koSessionLockRank rank, const char* name) noexcept : rank(rank), name(name) {}
    koSessionMutex(const koSessionMutex&) = delete;
    koSessionMutex& operator=(const koSessionMutex&) = delete;

    void lock()
    {
        if (koSessionLockOrder::Checked)
            koSessionLockOrder::checkTake(rank, name);
        mutex.lock();
        if (koSessionLockOrder::Checked)
            koSessionLockOrder::taken(rank, name);
    }

    void unlock()
    {
        if (koSessionLockOrder::Checked)
            koSessionLockOrder::released(rank, name);
        mutex.unlock();
    }

private:
    std::mutex mutex;
    const koSessionLockRank rank;
    const char* const name;
};
