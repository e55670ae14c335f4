// Runs an AutoController against the simulated board and reports, from the
// board's record of the command frames: the cycle period and its deviation
// from 30 ms, the drift of the cycle against the wall clock, the time from a
// new target to the first frame that carries it, and the CPU time spent per
// wall second. Modes: the board answering at once, late, not at all, going
// away halfway; optionally with a busy process on every core.

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <future>
#include <memory>
#include <random>
#include <thread>

#include "command_line.h"
#include "link_stats.h"
#include "tolvarine_controller/auto_controller.h"

namespace {

using tolvarine_board_sim::BoardOptions;
using tolvarine_board_sim::SimulatedBoard;
using tolvarine_controller::AutoController;
using namespace tolvarine_bench;
using namespace std::chrono_literals;
// Two targets closer than one acceleration step (21 mm/s at 0.7 m/s^2), so
// the first step after a change already lands on the new target.
constexpr double kTargetA = 0.30;
constexpr double kTargetB = 0.32;

enum class Mode { kNormal, kLate, kSilent, kGone };
const char* const kModeNames[] = {"normal", "late", "silent", "gone"};

struct ModeRun {
  Mode mode;
  bool load;
};

const char* modeName(Mode mode) {
  return kModeNames[static_cast<int>(mode)];
}

struct Options {
  double seconds = 10;
  bool load = false;
  std::string mode = "all";
  std::string jsonPath;
};

void addOptions(CLI::App& app, Options& o) {
  app.description(
      "Brings an AutoController up against the simulated board (its board thread at real-time "
      "priority where permitted, so that it sees the frames as they arrive), runs the 30 ms cycle "
      "for N seconds per mode and prints one table row per mode.");
  app.footer(
      "Each row: the cycle period seen at the board (mean and p50 of the period; p50, p99 and "
      "max of |period - 30 ms|); drift (the frames' arrival times fitted against their number, "
      "as ms gained (+) or lost against frames x 30 ms per 10 minutes of wall time); command to "
      "wire (from setSendDataVRL with a new target to the first frame at the board carrying its "
      "first ramp step, p50, p99, max; each target 30 to 60 ms after the last one reached the "
      "wire, at a random point of the cycle; none in silent mode, where the link is lost); CPU "
      "time per wall second (the whole process, board included, the communication thread and "
      "the control thread).\n\n"
      "Modes: normal (the board answers every frame after 2 ms), late (after 25 ms), silent "
      "(the board stops answering after the handshake), gone (the board closes its device "
      "halfway through, like a USB adapter pulled out; frames: first half, CPU: second half), "
      "all (normal, late, silent, gone, then normal with --load).");
  app.add_option("--seconds", o.seconds, "measured run time per mode (default 10)")
      ->option_text("N")
      ->check(tolvarine_tools::number(1, 3600, "seconds from 1 to 3600"));
  app.add_option("--mode", o.mode, "normal, late, silent, gone or all (default all)")
      ->option_text("MODE")
      ->check(CLI::IsMember({"all", "normal", "late", "silent", "gone"}));
  app.add_flag("--load", o.load, "one busy process per core at normal priority throughout");
  app.add_option("--json", o.jsonPath, "also write the results to FILE as JSON")
      ->option_text("FILE");
}

struct Result : LinkFigures {
  ModeRun run{};
  double seconds = 0;
  double expectedFrames = 0;
  Cpu cpu;
  Cpu cpuAfterGone;
  std::string error;
};

Result runMode(ModeRun run, double seconds) {
  Result result;
  result.run = run;
  result.seconds = seconds;
  const std::vector<pid_t> load = run.load ? startLoad() : std::vector<pid_t>();

  BoardOptions options;
  options.replyDelay = run.mode == Mode::kLate ? 25ms : 2ms;
  SimulatedBoard board(options);
  if (!startBoard(board, result, &result.error)) {
    stopLoad(load);
    return result;
  }

  // The communication thread starts during initialize, the control thread
  // two seconds later at its end.
  auto controller = std::make_unique<AutoController>();
  const std::set<long> before = threadIds();
  std::atomic<long> initThread{-1};
  auto initialized = std::async(std::launch::async, [&] {
    initThread = gettid();
    return controller->initialize(board.devicePath(), -1);
  });
  long commThread = -1;
  while (initialized.wait_for(2ms) == std::future_status::timeout) {
    if (commThread < 0 && initThread >= 0) {
      commThread = newThread(before, {initThread.load()});
    }
  }
  if (!initialized.get()) {
    result.error = "the controller could not connect to the board";
    stopLoad(load);
    return result;
  }
  const long controlThread = newThread(before, {initThread.load(), commThread});
  if (run.mode == Mode::kSilent) {
    board.setSilent(true);
  } else {
    // The ramp up from rest takes 15 cycles; it is no sample.
    controller->setSendDataVRL(kTargetA, kTargetA);
    std::this_thread::sleep_for(700ms);
  }

  // What a component's execution loop does: take the status records.
  std::atomic<bool> consuming{true};
  std::thread consumer([&] {
    while (consuming) {
      controller->renewOdometory(true);
    }
  });

  auto mark = [&] {
    return CpuMark{Clock::now(), processCpuMs(), threadCpuMs(commThread),
                   threadCpuMs(controlThread)};
  };
  const std::size_t firstFrame = board.frameCount();
  const CpuMark start = mark();
  const auto runTime =
      std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  const auto end = start.wall + runTime;
  const auto goneTime = start.wall + runTime / 2;
  CpuMark goneAt = start;
  bool gone = false;

  std::mt19937 random(12345);
  std::uniform_int_distribution<int> phaseUs(0, 30000);
  std::vector<double> latencies;
  bool useA = true;
  const bool measureLatency = run.mode != Mode::kSilent;
  while (Clock::now() < end) {
    if (run.mode == Mode::kGone && !gone && Clock::now() >= goneTime) {
      goneAt = mark();
      board.stop();
      gone = true;
    }
    if (!measureLatency || gone) {
      std::this_thread::sleep_for(20ms);
      continue;
    }
    // A new target at a random point of the cycle, once the last one has
    // been on the wire for at least a cycle.
    std::this_thread::sleep_for(std::chrono::microseconds(30000 + phaseUs(random)));
    const std::size_t from = board.frameCount();
    const auto set = Clock::now();
    useA = !useA;
    const double target = useA ? kTargetA : kTargetB;
    controller->setSendDataVRL(target, target);
    bool seen = false;
    while (!seen && Clock::now() - set < 500ms) {
      std::this_thread::sleep_for(2ms);
      const std::vector<ReceivedFrame> frames = board.framesFrom(from > 0 ? from - 1 : 0);
      for (std::size_t i = 1; i < frames.size() && !seen; ++i) {
        if (frames[i].at >= set && !sameWheels(frames[i], frames[0])) {
          latencies.push_back(ms(frames[i].at - set));
          seen = true;
        }
      }
    }
    if (!seen) {
      ++result.targetsNotSeen;
    }
  }
  const CpuMark stop = mark();
  consuming = false;
  consumer.join();
  controller.reset();
  stopLoad(load);

  std::vector<ReceivedFrame> frames = board.framesFrom(firstFrame);
  const auto until = gone ? goneAt.wall : stop.wall;
  frames.erase(std::remove_if(frames.begin(), frames.end(),
                              [until](const ReceivedFrame& f) { return f.at >= until; }),
               frames.end());
  measureFrames(frames, result);
  result.expectedFrames = ms(until - start.wall) / kCycleMs;
  result.latency = summarise(latencies);
  result.cpu = cpuBetween(start, gone ? goneAt : stop);
  if (gone) {
    result.cpuAfterGone = cpuBetween(goneAt, stop);
  }
  return result;
}

std::string label(const Result& r) {
  return std::string(modeName(r.run.mode)) + (r.run.load ? "+load" : "");
}

void printTable(const std::vector<Result>& results) {
  std::printf("%-12s %6s %6s%s | %6s %6s %6s\n", "mode", "frames", "expect", timingHeader().c_str(),
              "proc", "comm", "ctrl");
  std::printf("%-12s %6s %6s%s | %20s\n", "", "", "", timingSubheader().c_str(), "CPU ms/s");
  for (const Result& r : results) {
    if (!r.error.empty()) {
      std::printf("%-12s failed: %s\n", label(r).c_str(), r.error.c_str());
      continue;
    }
    std::printf("%-12s %6zu %6.0f%s | %6.2f %6.2f %6.2f\n", label(r).c_str(), r.frames,
                r.expectedFrames, timingCells(r).c_str(), r.cpu.process, r.cpu.comm, r.cpu.control);
    if (r.run.mode == Mode::kGone) {
      std::printf("%-12s after the device has gone, CPU ms/s: process %.2f comm %.2f ctrl %.2f\n",
                  "", r.cpuAfterGone.process, r.cpuAfterGone.comm, r.cpuAfterGone.control);
    }
    printNotes(r);
  }
}

Json cpuJson(const Cpu& c) {
  return {{"process", jsonNumber(c.process)},
          {"communication", jsonNumber(c.comm)},
          {"control", jsonNumber(c.control)}};
}

Json resultsJson(const std::vector<Result>& results) {
  Json runs = Json::array();
  for (const Result& r : results) {
    Json run = {
        {"mode", modeName(r.run.mode)}, {"load", r.run.load}, {"seconds", jsonNumber(r.seconds)}};
    if (!r.error.empty()) {
      run["error"] = r.error;
    } else {
      run.update(figuresJson(r));
      run["expected_frames"] = jsonNumber(r.expectedFrames);
      run["cpu_ms_per_s"] = cpuJson(r.cpu);
      if (r.run.mode == Mode::kGone) {
        run["cpu_ms_per_s_after_gone"] = cpuJson(r.cpuAfterGone);
      }
      run["board_real_time"] = r.boardRealTime;
    }
    runs.push_back(run);
  }
  return {{"cycle_ms", kCycleMs}, {"runs", runs}};
}

}  // namespace

int main(int argc, char** argv) {
  // Lines go out as they are printed, in step with the library's console lines.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  Options options;
  CLI::App app("", "tolvarine-link-bench");
  addOptions(app, options);
  if (const int status = tolvarine_tools::parseCommandLine(app, argc, argv); status >= 0) {
    return status;
  }
  const double seconds = options.seconds;
  const bool load = options.load;

  std::vector<ModeRun> runs;
  for (int m = 0; m < 4; ++m) {
    if (options.mode == "all" || options.mode == kModeNames[m]) {
      runs.push_back({static_cast<Mode>(m), load});
    }
  }
  if (options.mode == "all" && !load) {
    runs.push_back({Mode::kNormal, true});
  }

  std::vector<Result> results;
  for (const ModeRun& run : runs) {
    std::printf("tolvarine-link-bench: %s%s, %.0f s ...\n", modeName(run.mode),
                run.load ? " with load" : "", seconds);
    results.push_back(runMode(run, seconds));
  }
  std::printf("\n");
  printTable(results);
  if (!options.jsonPath.empty() &&
      !writeJson("tolvarine-link-bench", options.jsonPath, resultsJson(results))) {
    return 1;
  }
  bool failed = false;
  for (const Result& r : results) {
    failed = failed || !r.error.empty();
  }
  return failed ? 1 : 0;
}
