// Figures of the link benchmarks: order statistics of a set of values, and
// the drift of a run of frames against the 30 ms cycle.
#ifndef TOLVARINE_BENCHMARKS_LINK_STATS_H
#define TOLVARINE_BENCHMARKS_LINK_STATS_H

#include <cmath>
#include <cstddef>
#include <vector>

namespace tolvarine_bench {

constexpr double kCycleMs = 30.0;

struct Stats {
  double mean = NAN, p50 = NAN, p99 = NAN, max = NAN;  // NaN when there were no values
  std::size_t count = 0;
};

Stats summarise(std::vector<double> values);

// Least-squares slope of the frames' arrival times (ms, any origin) over
// their number, against 30 ms, as ms gained (+) or lost per 10 minutes:
// every frame counts, not just the two ends. NaN for fewer than 3 frames.
double driftMsPer10Min(const std::vector<double>& arrivalsMs);

}  // namespace tolvarine_bench

#endif  // TOLVARINE_BENCHMARKS_LINK_STATS_H
