#pragma once

#include <vector>

// Latency samples of one link, in milliseconds, with the figures the demo
// reports.
class koLatencyStats
{
public:
    void add(double milliseconds);
    int getCount() const;
    double getMedian() const;
    // The smallest sample that at least `percent` per cent of the samples do
    // not exceed (nearest rank); 0 without samples.
    double getPercentile(double percent) const;

private:
    std::vector<double> samples;
};
