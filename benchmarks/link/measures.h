// What the link benchmark measures and how: CPU time of threads and of the
// process, percentiles, the drift of a frame stream against its cycle, and a
// busy process per core for the loaded runs.
#ifndef TOLVARINE_BENCH_MEASURES_H
#define TOLVARINE_BENCH_MEASURES_H

#include <sys/types.h>

#include <chrono>
#include <cmath>
#include <cstddef>
#include <set>
#include <vector>

#include "tolvarine_board_sim/simulated_board.h"

namespace tolvarine_bench {

using Clock = std::chrono::steady_clock;

double ms(Clock::duration d);

// The process's threads, and the first one in neither set (-1: none).
std::set<long> threadIds();
long newThread(const std::set<long>& before, const std::set<long>& ignore);
// Time a thread has spent on a CPU, from the scheduler's statistics.
double threadCpuMs(long tid);
double processCpuMs();

struct CpuMark {
  Clock::time_point wall;
  double process, comm, control;
};

struct Cpu {
  double process = NAN, comm = NAN, control = NAN;  // ms per wall second
};

Cpu cpuBetween(const CpuMark& from, const CpuMark& to);

struct Stats {
  double mean = NAN, p50 = NAN, p99 = NAN, max = NAN;
  std::size_t count = 0;
};

Stats summarise(std::vector<double> values);

// Least-squares slope of the arrival times over the frame number, against
// the cycle, scaled to 10 minutes: every frame counts, not just the two ends.
double driftMsPer10Min(const std::vector<tolvarine_board_sim::ReceivedFrame>& frames,
                       double cycleMs);

// Busy processes, one per core, so that they show in no CPU figure of this one.
std::vector<pid_t> startLoad();
void stopLoad(const std::vector<pid_t>& children);

}  // namespace tolvarine_bench

#endif  // TOLVARINE_BENCH_MEASURES_H
