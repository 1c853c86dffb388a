#include "koJoinCanceller.h"

#include "koInterruptWatcher.h"

#include "koSession.h"

#include <chrono>

namespace {

constexpr std::chrono::milliseconds PollInterval(20);

} // namespace

koJoinCanceller::koJoinCanceller(koSession& session)
    : thread(&koJoinCanceller::watch, this, std::ref(session))
{
}

koJoinCanceller::~koJoinCanceller()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
    }
    wake.notify_all();
    thread.join();
}

bool koJoinCanceller::hasCancelled()
{
    std::lock_guard<std::mutex> lock(mutex);
    return cancelled;
}

void koJoinCanceller::watch(koSession& session)
{
    std::unique_lock<std::mutex> lock(mutex);
    while (!wake.wait_for(lock, PollInterval, [this] { return stopping; })) {
        if (!koInterruptWatcher::takeRaised())
            continue;
        cancelled = true;
        lock.unlock();
        session.cancelJoin();
        return;
    }
}
