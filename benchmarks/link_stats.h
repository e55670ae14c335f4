// What the link benchmark measures: order statistics, the cycle, drift and
// command-to-wire times of a run of frames at the simulated board, CPU time
// of the client's threads and process.
#ifndef TOLVARINE_BENCHMARKS_LINK_STATS_H
#define TOLVARINE_BENCHMARKS_LINK_STATS_H

#include <sys/types.h>

#include <cmath>
#include <cstddef>
#include <set>
#include <string>
#include <vector>

#include "tolvarine_board_sim/simulated_board.h"

namespace tolvarine_bench {

using Clock = tolvarine_board_sim::Clock;
using tolvarine_board_sim::ReceivedFrame;

constexpr double kCycleMs = 30.0;

struct Stats {
  double mean = NAN, p50 = NAN, p99 = NAN, max = NAN;  // NaN when there were no values
  std::size_t count = 0;
};

double ms(Clock::duration d);

// The cycle as the board saw it, and how soon new targets reached the wire.
struct LinkFigures {
  std::size_t frames = 0;
  Stats period, deviation;  // ms; deviation: |period - 30 ms|
  double drift = NAN;
  Stats latency;                   // ms from a new target to the first frame carrying it
  std::size_t targetsNotSeen = 0;  // not on the wire within 500 ms
  bool boardRealTime = false;
};

// Period, deviation and drift of `frames`, in their order of arrival.
void measureFrames(const std::vector<ReceivedFrame>& frames, LinkFigures& figures);
// The command-to-wire times of `targets` (when each was set, in order) and
// the targets not seen within 500 ms.
void matchTargets(const std::vector<ReceivedFrame>& frames,
                  const std::vector<Clock::time_point>& targets, LinkFigures& figures);

// The threads of process `pid` in the order they were made (thread ids
// grow, short of the rare wrap-around of the id counter).
std::set<long> threadIds(pid_t pid);
// Starts the board with its thread at real-time priority where permitted,
// so that it sees the frames as they arrive.
bool startBoard(tolvarine_board_sim::SimulatedBoard& board, LinkFigures& figures,
                std::string* error);

// Time the threads of process `pid` have spent on a CPU so far, from the
// scheduler's statistics: all of them, and the two given (NaN for -1).
struct CpuMark {
  Clock::time_point wall;
  double process, comm, control;
};
CpuMark cpuMark(pid_t pid, long commThread, long controlThread);

struct Cpu {
  double process = NAN, comm = NAN, control = NAN;  // ms per wall second
};

Cpu cpuBetween(const CpuMark& from, const CpuMark& to);

}  // namespace tolvarine_bench

#endif  // TOLVARINE_BENCHMARKS_LINK_STATS_H
