#include "koCoarseClock.h"

#include <time.h>

std::chrono::steady_clock::time_point koCoarseClock::now()
{
#ifdef CLOCK_MONOTONIC_COARSE
    // The same clock as steady_clock's CLOCK_MONOTONIC, as of the last tick.
    timespec coarse{};
    if (clock_gettime(CLOCK_MONOTONIC_COARSE, &coarse) == 0)
        return std::chrono::steady_clock::time_point(std::chrono::seconds(coarse.tv_sec)
                                                     + std::chrono::nanoseconds(coarse.tv_nsec));
#endif
    return std::chrono::steady_clock::now();
}
