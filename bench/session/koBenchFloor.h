#pragma once

#include <vector>

// The latency that the batching cycles alone impose. A change waits for the
// next cycle of every sending thread on its way (the participant's, then the
// server peer's), and for the receiver's polling when it is executed on the
// main thread. Modelled as independent phases, each uniform over its period,
// and summed; the percentiles come from a fixed-seed Monte Carlo draw.
class koBenchFloor
{
public:
    // `periods` in milliseconds, one per independent uniform wait.
    explicit koBenchFloor(std::vector<double> periods);
    double getMedian() const { return median; }
    double getPercentile99() const { return p99; }
    double getMax() const; // the sum of the periods

private:
    std::vector<double> periods;
    double median = 0.0;
    double p99 = 0.0;
};
