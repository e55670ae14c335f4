// What the link benchmark measures and how: CPU time of threads and of the
// process, and a busy process per core for the loaded runs.
#ifndef TOLVARINE_BENCH_MEASURES_H
#define TOLVARINE_BENCH_MEASURES_H

#include <sys/types.h>

#include <chrono>
#include <cmath>
#include <cstddef>
#include <set>
#include <vector>

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

// Busy processes, one per core, so that they show in no CPU figure of this one.
std::vector<pid_t> startLoad();
void stopLoad(const std::vector<pid_t>& children);

}  // namespace tolvarine_bench

#endif  // TOLVARINE_BENCH_MEASURES_H
