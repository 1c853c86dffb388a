#pragma once

#include <chrono>
#include <functional>

// Bounded waits that keep the calling thread's Qt event loop running, so
// that child processes' output and timers are handled meanwhile.
class koEventWait
{
public:
    // Processes events until `condition` holds, `timeout` has passed or
    // Ctrl-C was pressed (koInterruptWatcher); answers the condition's last
    // value. The condition is checked at least every few milliseconds.
    static bool until(const std::function<bool()>& condition, std::chrono::milliseconds timeout);
    // Processes events for `duration` (cut short by Ctrl-C).
    static void pause(std::chrono::milliseconds duration);
};
