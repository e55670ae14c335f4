// What the link benchmarks measure and how they show it: order statistics,
// the cycle and drift of a run of frames at the simulated board, CPU time of
// threads and of the process, a busy process per core, and the table cells
// and JSON fields the benchmarks have in common.
#ifndef TOLVARINE_BENCHMARKS_LINK_STATS_H
#define TOLVARINE_BENCHMARKS_LINK_STATS_H

#include <sys/types.h>

#include <cmath>
#include <cstddef>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tolvarine_board_sim/simulated_board.h"

namespace tolvarine_bench {

using Clock = tolvarine_board_sim::Clock;
using Json = nlohmann::ordered_json;
using tolvarine_board_sim::ReceivedFrame;

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
// Whether two frames carry the same wheel bytes (1 to 4): the targets
// alternate, so a frame whose wheels differ from the one before carries the newer one.
bool sameWheels(const ReceivedFrame& a, const ReceivedFrame& b);

// The table's timing columns: two header lines and a row's cells.
std::string timingHeader();
std::string timingSubheader();
std::string timingCells(const LinkFigures& f);
// Lines under a row: targets not seen, a board thread at normal priority.
void printNotes(const LinkFigures& f);

// A number rounded to 4 places; NaN and infinities (no samples) as null.
Json jsonNumber(double v);
// frames, period_ms, deviation_ms, drift_ms_per_10min, command_to_wire_ms, targets_not_seen.
Json figuresJson(const LinkFigures& f);
// Writes `json`; false (with a line on standard error) when it cannot.
bool writeJson(const std::string& program, const std::string& path, const Json& json);

// The process's threads, and the first one in neither set (-1: none).
std::set<long> threadIds();
long newThread(const std::set<long>& before, const std::set<long>& ignore);
// Starts the board with its thread at real-time priority where permitted,
// so that it sees the frames as they arrive.
bool startBoard(tolvarine_board_sim::SimulatedBoard& board, LinkFigures& figures,
                std::string* error);

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

#endif  // TOLVARINE_BENCHMARKS_LINK_STATS_H
