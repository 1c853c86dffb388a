#pragma once

#include <chrono>

// The steady clock read at the resolution of the system's tick (a few
// milliseconds) for a fraction of the cost of a precise read: for stamps
// taken per change and compared against limits of a second or more.
// Its time points are steady_clock's and may be mixed with precise ones
// (a coarse reading lags a precise one by at most one tick).
class koCoarseClock
{
public:
    static std::chrono::steady_clock::time_point now();
};
