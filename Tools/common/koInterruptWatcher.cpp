#include "koInterruptWatcher.h"

#include <atomic>
#include <csignal>

namespace {

// Written by the signal handler, so it has to be lock-free.
std::atomic<bool> raised{false};
static_assert(ATOMIC_BOOL_LOCK_FREE == 2, "the interrupt flag is set from a signal handler");

extern "C" void onSignal(int)
{
    raised.store(true);
}

void arm()
{
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    // One shot: the next signal takes the default action unless re-armed.
    action.sa_flags = SA_RESETHAND | SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

} // namespace

void koInterruptWatcher::install()
{
    raised = false;
    arm();
}

bool koInterruptWatcher::isRaised()
{
    return raised.load();
}

bool koInterruptWatcher::takeRaised()
{
    if (!raised.exchange(false))
        return false;
    arm();
    return true;
}
