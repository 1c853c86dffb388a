#include "koLatencyStats.h"

#include <algorithm>
#include <cmath>

void koLatencyStats::add(double milliseconds)
{
    samples.push_back(milliseconds);
}

int koLatencyStats::getCount() const
{
    return static_cast<int>(samples.size());
}

double koLatencyStats::getMedian() const
{
    if (samples.empty())
        return 0.0;
    std::vector<double> sorted = samples;
    std::sort(sorted.begin(), sorted.end());
    const std::size_t middle = sorted.size() / 2;
    return sorted.size() % 2 == 1 ? sorted[middle] : (sorted[middle - 1] + sorted[middle]) / 2.0;
}

double koLatencyStats::getPercentile(double percent) const
{
    if (samples.empty())
        return 0.0;
    std::vector<double> sorted = samples;
    std::sort(sorted.begin(), sorted.end());
    const double rank = std::ceil(percent / 100.0 * static_cast<double>(sorted.size()));
    const std::size_t index = static_cast<std::size_t>(std::max(rank, 1.0)) - 1;
    return sorted[std::min(index, sorted.size() - 1)];
}
