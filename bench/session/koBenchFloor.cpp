#include "koBenchFloor.h"

#include "koLatencyStats.h"

#include <numeric>
#include <random>

koBenchFloor::koBenchFloor(std::vector<double> waits)
    : periods(std::move(waits))
{
    std::mt19937_64 random(20261205);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    koLatencyStats stats;
    for (int i = 0; i < 200000; ++i) {
        double sum = 0.0;
        for (double period : periods)
            sum += unit(random) * period;
        stats.add(sum);
    }
    median = stats.getMedian();
    p99 = stats.getPercentile(99.0);
}

double koBenchFloor::getMax() const
{
    return std::accumulate(periods.begin(), periods.end(), 0.0);
}
