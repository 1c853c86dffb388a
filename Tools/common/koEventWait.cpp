#include "koEventWait.h"

#include "koInterruptWatcher.h"

#include <QEventLoop>
#include <QTimer>

namespace {

// How long one round may sleep when nothing happens.
constexpr int tickMilliseconds = 2;

} // namespace

bool koEventWait::until(const std::function<bool()>& condition, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    // The ticking timer wakes the loop when no other event comes.
    QTimer tick;
    tick.start(tickMilliseconds);
    QEventLoop loop;
    for (;;) {
        if (condition())
            return true;
        if (std::chrono::steady_clock::now() >= deadline || koInterruptWatcher::isRaised())
            return condition();
        loop.processEvents(QEventLoop::WaitForMoreEvents);
    }
}

void koEventWait::pause(std::chrono::milliseconds duration)
{
    until([] { return false; }, duration);
}
