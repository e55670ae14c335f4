// Runs the connector against the simulated board and reports, from the
// board's record of the command frames: the cycle period and its deviation
// from 30 ms, the spacing from a reply to the next command frame, and the CPU
// time spent per wall second. Optionally with the board falling silent, or
// with the device going away halfway through.

#include <dirent.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "connector.h"
#include "tolvarine_board_sim/simulated_board.h"

namespace {

using tolvarine_board_sim::BoardOptions;
using tolvarine_board_sim::ReceivedFrame;
using tolvarine_board_sim::SimulatedBoard;
using tolvarine_controller::Connector;
using tolvarine_controller::ReceiveData;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

enum class Mode { kNormal, kSilent, kGone };

void printUsage(std::ostream& out) {
  out << "Usage: tolvarine-link-bench [--seconds N] [--mode normal|silent|gone]\n"
         "                            [--reply-delay-us N]\n"
         "\n"
         "Brings the serial connector up against the simulated board, runs its\n"
         "30 ms cycle for N seconds and prints:\n"
         "  - the cycle period seen at the board (mean; mean, p50, p99 and max of\n"
         "    |period - 30 ms|),\n"
         "  - the spacing from a reply (as scheduled by the board) to the next\n"
         "    command frame,\n"
         "  - CPU time per wall second of the whole process and of the\n"
         "    communication thread alone.\n"
         "\n"
         "Options:\n"
         "  --seconds N        measured run time (default 10, 1 to 3600)\n"
         "  --mode normal      the board answers every frame (default)\n"
         "  --mode silent      the board stops answering after the handshake\n"
         "  --mode gone        the board closes its device halfway through, like\n"
         "                     a USB adapter pulled out; CPU is shown per half\n"
         "  --reply-delay-us N board's reply delay (default 2000)\n"
         "  --help             show this text\n";
}

bool parseNumber(const std::string& text, double low, double high, double& value) {
  char* end = nullptr;
  value = std::strtod(text.c_str(), &end);
  return end != text.c_str() && *end == '\0' && value >= low && value <= high;
}

double cpuMs(clockid_t clock) {
  timespec t{};
  clock_gettime(clock, &t);
  return t.tv_sec * 1000.0 + t.tv_nsec / 1e6;
}

std::set<long> threadIds() {
  std::set<long> ids;
  if (DIR* dir = opendir("/proc/self/task")) {
    while (dirent* entry = readdir(dir)) {
      if (entry->d_name[0] != '.') {
        ids.insert(std::strtol(entry->d_name, nullptr, 10));
      }
    }
    closedir(dir);
  }
  return ids;
}

// Time a thread has spent on a CPU, from the scheduler's statistics (ns).
double threadCpuMs(long tid) {
  std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/schedstat");
  double ns = -1.0;
  in >> ns;
  return ns < 0 ? -1.0 : ns / 1e6;
}

double ms(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

struct Stats {
  double mean = 0, p50 = 0, p99 = 0, max = 0;
  std::size_t count = 0;
};

Stats summarise(std::vector<double> values) {
  Stats s;
  s.count = values.size();
  if (values.empty()) {
    return s;
  }
  std::sort(values.begin(), values.end());
  double sum = 0;
  for (double v : values) {
    sum += v;
  }
  auto at = [&values](double q) {
    return values[std::min(values.size() - 1, static_cast<std::size_t>(q * values.size()))];
  };
  s.mean = sum / values.size();
  s.p50 = at(0.5);
  s.p99 = at(0.99);
  s.max = values.back();
  return s;
}

void printStats(const char* what, const Stats& s) {
  std::printf("  %-34s n=%-6zu mean %7.3f  p50 %7.3f  p99 %7.3f  max %8.3f ms\n", what, s.count,
              s.mean, s.p50, s.p99, s.max);
}

struct CpuWindow {
  Clock::time_point wall;
  double process;
  double thread;
};

CpuWindow cpuNow(long commThread) {
  return {Clock::now(), cpuMs(CLOCK_PROCESS_CPUTIME_ID), threadCpuMs(commThread)};
}

void printCpu(const char* what, const CpuWindow& from, const CpuWindow& to) {
  const double wallS = ms(to.wall - from.wall) / 1000.0;
  std::printf("  %-34s process %7.2f ms/s   communication thread %7.2f ms/s   (%.1f s)\n", what,
              (to.process - from.process) / wallS,
              from.thread < 0 ? NAN : (to.thread - from.thread) / wallS, wallS);
}

}  // namespace

int main(int argc, char** argv) {
  // Lines go out as they are printed, in step with the library's console lines.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  double seconds = 10;
  double replyDelayUs = 2000;
  Mode mode = Mode::kNormal;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      printUsage(std::cout);
      return 0;
    }
    const bool takesValue = arg == "--seconds" || arg == "--mode" || arg == "--reply-delay-us";
    if (!takesValue) {
      std::cerr << "tolvarine-link-bench: unknown argument '" << arg << "' (see --help)"
                << std::endl;
      return 2;
    }
    if (i + 1 >= argc) {
      std::cerr << "tolvarine-link-bench: " << arg << " needs a value" << std::endl;
      return 2;
    }
    const std::string value = argv[++i];
    bool ok = true;
    if (arg == "--seconds") {
      ok = parseNumber(value, 1, 3600, seconds);
    } else if (arg == "--reply-delay-us") {
      ok = parseNumber(value, 0, 25000, replyDelayUs);
    } else if (value == "normal") {
      mode = Mode::kNormal;
    } else if (value == "silent") {
      mode = Mode::kSilent;
    } else if (value == "gone") {
      mode = Mode::kGone;
    } else {
      ok = false;
    }
    if (!ok) {
      std::cerr << "tolvarine-link-bench: bad value '" << value << "' for " << arg
                << " (see --help)" << std::endl;
      return 2;
    }
  }

  BoardOptions options;
  options.replyDelay = std::chrono::microseconds(static_cast<std::int64_t>(replyDelayUs));
  SimulatedBoard board(options);
  std::string error;
  if (!board.start(&error)) {
    std::cerr << "tolvarine-link-bench: cannot start the simulated board: " << error << std::endl;
    return 1;
  }
  Connector connector;
  if (!connector.open(board.devicePath())) {
    std::cerr << "tolvarine-link-bench: cannot open " << board.devicePath() << std::endl;
    return 1;
  }
  if (!connector.connect()) {
    std::cerr << "tolvarine-link-bench: the board did not answer the handshake" << std::endl;
    return 1;
  }
  if (mode == Mode::kSilent) {
    board.setSilent(true);
  }

  const std::set<long> before = threadIds();
  const std::size_t firstThreadFrame = board.frameCount();
  connector.startThread();
  long commThread = -1;
  for (long id : threadIds()) {
    if (before.count(id) == 0) {
      commThread = id;
    }
  }

  const auto runTime =
      std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  const CpuWindow start = cpuNow(commThread);
  std::vector<ReceiveData> taken;
  std::size_t records = 0;
  CpuWindow goneAt = start;
  bool gone = false;
  while (Clock::now() - start.wall < runTime) {
    if (mode == Mode::kGone && !gone && Clock::now() - start.wall >= runTime / 2) {
      goneAt = cpuNow(commThread);
      board.stop();
      gone = true;
    }
    connector.getReceiveDataFor(taken, 100ms);
    records += taken.size();
  }
  const CpuWindow end = cpuNow(commThread);
  const auto stopCalled = Clock::now();
  connector.stopThread();
  const double stopMs = ms(Clock::now() - stopCalled);
  connector.getReceiveData(taken, false);
  records += taken.size();

  // The thread's frames at the board, without the final stop command.
  std::vector<ReceivedFrame> frames = board.framesFrom(firstThreadFrame);
  frames.erase(std::remove_if(frames.begin(), frames.end(),
                              [stopCalled](const ReceivedFrame& f) { return f.at >= stopCalled; }),
               frames.end());
  std::vector<double> periods;
  std::vector<double> deviations;
  std::vector<double> replyToNext;
  for (std::size_t i = 1; i < frames.size(); ++i) {
    const double period = ms(frames[i].at - frames[i - 1].at);
    periods.push_back(period);
    deviations.push_back(std::fabs(period - 30.0));
    if (mode == Mode::kNormal) {
      replyToNext.push_back(ms(frames[i].at - (frames[i - 1].at + options.replyDelay)));
    }
  }

  const char* modeName = mode == Mode::kNormal   ? "normal"
                         : mode == Mode::kSilent ? "silent"
                                                 : "gone";
  std::printf("tolvarine-link-bench: mode %s, %.0f s, board reply delay %.0f us\n", modeName,
              seconds, replyDelayUs);
  std::printf("  frames of the thread at the board: %zu, status records queued: %zu%s\n",
              frames.size(), records, mode == Mode::kGone ? " (frames: first half only)" : "");
  printStats("cycle period", summarise(periods));
  printStats("|period - 30 ms|", summarise(deviations));
  if (mode == Mode::kNormal) {
    printStats("reply to next command frame", summarise(replyToNext));
  }
  if (mode == Mode::kGone) {
    printCpu("CPU while the device is there", start, goneAt);
    printCpu("CPU after the device has gone", goneAt, end);
  } else {
    printCpu("CPU", start, end);
  }
  std::printf("  stopThread took %.1f ms\n", stopMs);
  connector.close();
  return 0;
}
