// One run of the link benchmark: the simulated board in this process, and
// link_bench_client driving the link in a process of its own, natively or,
// for a Windows build, under Wine through a COM port.
#ifndef TOLVARINE_BENCHMARKS_LINK_RUN_H
#define TOLVARINE_BENCHMARKS_LINK_RUN_H

#include <string>

#include "link_stats.h"

namespace tolvarine_bench {

// How the board behaves: it answers every frame after 2 ms, after 25 ms, falls
// silent after the handshake, or closes its device halfway through.
enum class Mode { kNormal, kLate, kSilent, kGone };
extern const char* const kModeNames[4];
inline const char* modeName(Mode mode) {
  return kModeNames[static_cast<int>(mode)];
}

struct Client {
  std::string label;    // "linux", "wine x86_64", ...
  std::string program;  // link_bench_client of that build
  std::string config;   // a Windows build's settings file; empty for Linux
};

struct Run {
  Client client;
  Mode mode = Mode::kNormal;
  bool load = false;  // one busy process per core throughout
};

struct Result : LinkFigures {
  Run run;
  double expectedFrames = 0;
  Cpu cpu;
  Cpu cpuAfterGone;
  std::string error;
  bool skipped = false;  // this machine cannot run the client (error says why)
};

// Runs `run` with the client driving for `seconds` after the handshake.
Result runLink(const Run& run, double seconds);

}  // namespace tolvarine_bench

#endif  // TOLVARINE_BENCHMARKS_LINK_RUN_H
