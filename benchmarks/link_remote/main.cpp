// tolvarine-link-bench-remote: the link's timing with the controller in a
// process of its own, on Linux and on Windows under Wine, side by side (see
// --help). The client notes its targets on the wall clock, which both
// processes share; the board's times are put on the same clock.

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

#include "child_process.h"
#include "command_line.h"
#include "link_stats.h"
#include "wine_prefix.h"

namespace {

using namespace tolvarine_bench;
using tolvarine_board_sim::SimulatedBoard;
using PipedProcess = tolvarine_tools::ChildProcess;
using tolvarine_tools::WinePrefix;
using namespace std::chrono_literals;

constexpr const char* kProgram = "tolvarine-link-bench-remote";
constexpr int kComPort = 5;

struct Options {
  double seconds = 10;
  std::vector<std::string> windowsBuilds;
  bool linuxOnly = false;
  std::string jsonPath;
};

void addOptions(CLI::App& app, Options& o) {
  app.description(
      "Runs link_bench_client against the simulated board for N seconds, first the Linux build "
      "on the pseudo-terminal, then each Windows build under Wine with the pseudo-terminal "
      "mapped as COM5, and prints one row each: the cycle period seen at the board (mean and "
      "p50; p50, p99 and max of |period - 30 ms|; the drift in ms per 10 minutes), and command "
      "to wire: from setSendDataVRL with a new target (every 45 to 75 ms, at a random point of "
      "the cycle) to the first frame at the board that carries it (p50, p99, max, count).");
  app.add_option("--seconds", o.seconds, "measured time per client (default 10, 1 to 3600)")
      ->option_text("N")
      ->check(tolvarine_tools::number(1, 3600, "seconds from 1 to 3600"));
  app.add_option("--windows-build", o.windowsBuilds,
                 "a Windows build folder (its windows-test-config.txt); repeatable; default: this "
                 "build's windows/x86_64 and windows/i686 where they exist")
      ->option_text("DIR");
  app.add_flag("--linux-only", o.linuxOnly, "no Windows builds");
  app.add_option("--json", o.jsonPath, "also write the results to FILE as JSON")
      ->option_text("FILE");
}

struct Client {
  std::string label;  // "linux", "wine x86_64", ...
  std::string program;
  std::string config;  // a Windows build's settings file; empty for Linux
};

struct Result : LinkFigures {
  std::string label;
  std::string error;
  bool skipped = false;  // this machine cannot run the client (error says why)
};

Result runClient(const Client& client, double seconds) {
  Result result;
  result.label = client.label;
  SimulatedBoard board;
  if (!startBoard(board, result, &result.error)) {
    return result;
  }
  // The board's clock on the wall clock: the closest pair of readings.
  auto steadyZero = Clock::now();
  std::int64_t wallZeroUs = 0;
  double bestGap = 1e9;
  for (int i = 0; i < 20; ++i) {
    const auto a = Clock::now();
    const auto wall = std::chrono::system_clock::now();
    const auto b = Clock::now();
    if (ms(b - a) < bestGap) {
      bestGap = ms(b - a);
      steadyZero = a + (b - a) / 2;
      wallZeroUs =
          std::chrono::duration_cast<std::chrono::microseconds>(wall.time_since_epoch()).count();
    }
  }
  auto wallMs = [&](const ReceivedFrame& f) {
    return static_cast<double>(wallZeroUs) / 1000.0 + ms(f.at - steadyZero);
  };

  std::vector<std::string> argv;
  const std::string secondsText = std::to_string(seconds);
  if (client.config.empty()) {
    argv = {client.program, board.devicePath(), secondsText};
  } else {
    const WinePrefix prefix(TOLVARINE_WINE_RUN, tolvarine_tools::readSettings(client.config));
    std::string reason;
    bool skipped = false;
    if (!prefix.prepare(client.program, reason, skipped)) {
      result.error = reason;
      result.skipped = skipped;
      return result;
    }
    const std::string port = prefix.mapComPort(kComPort, board.devicePath(), &result.error);
    if (port.empty()) {
      return result;
    }
    argv = prefix.command(client.program, {port, secondsText});
  }
  const std::string errorLog =
      "/tmp/tolvarine-link-bench-remote." + std::to_string(getpid()) + ".log";
  PipedProcess program;
  if (!program.startPiped(argv, {"TOLVARINE_MESSAGE_BOX=off"}, errorLog, &result.error)) {
    return result;
  }
  std::string line;
  std::vector<std::pair<double, std::string>> targets;  // wall ms, target
  bool done = false;
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                            std::chrono::duration<double>(seconds + 120));
  while (!done && std::chrono::steady_clock::now() < deadline) {
    if (!program.readLine(line, 1s)) {
      if (program.waitFor(0ms)) {
        break;
      }
      continue;
    }
    std::istringstream words(line);
    std::string word;
    words >> word;
    if (word == "set") {
      long long at = 0;
      std::string target;
      words >> at >> target;
      targets.emplace_back(at / 1000.0, target);
    }
    done = word == "done";
  }
  program.waitFor(30s);
  program.kill();
  std::ifstream errors(errorLog);
  std::stringstream errorText;
  errorText << errors.rdbuf();
  std::remove(errorLog.c_str());
  if (!done || targets.empty()) {
    result.error = "the client did not finish (" + line + "); its console:\n" + errorText.str();
    return result;
  }

  // The measured stretch: from the first target to the last.
  const std::vector<ReceivedFrame> all = board.frames();
  std::vector<ReceivedFrame> frames;
  for (const ReceivedFrame& f : all) {
    if (wallMs(f) >= targets.front().first && wallMs(f) <= targets.back().first + 100) {
      frames.push_back(f);
    }
  }
  measureFrames(frames, result);
  std::vector<double> latencies;
  // Each target is matched with the first later frame whose wheels changed.
  std::size_t next = 1;
  for (const auto& target : targets) {
    while (next < frames.size() && wallMs(frames[next]) < target.first) {
      ++next;
    }
    std::size_t i = next;
    while (i < frames.size() && sameWheels(frames[i], frames[i - 1])) {
      ++i;
    }
    if (i < frames.size() && wallMs(frames[i]) - target.first < 500) {
      latencies.push_back(wallMs(frames[i]) - target.first);
    } else {
      ++result.targetsNotSeen;
    }
  }
  result.latency = summarise(latencies);
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  Options options;
  CLI::App app("", kProgram);
  addOptions(app, options);
  if (const int status = tolvarine_tools::parseCommandLine(app, argc, argv); status >= 0) {
    return status;
  }
  const double seconds = options.seconds;
  if (options.windowsBuilds.empty() && !options.linuxOnly) {
    for (const char* arch : {"x86_64", "i686"}) {
      const std::string dir = std::string(TOLVARINE_WINDOWS_BUILDS) + "/" + arch;
      if (std::filesystem::exists(dir + "/windows-test-config.txt")) {
        options.windowsBuilds.push_back(dir);
      }
    }
  }

  std::vector<Client> clients{{"linux", TOLVARINE_NATIVE_CLIENT, ""}};
  for (const std::string& dir : options.windowsBuilds) {
    const std::string config = dir + "/windows-test-config.txt";
    const auto settings = tolvarine_tools::readSettings(config);
    if (settings.count("bench_client") == 0) {
      std::cerr << kProgram << ": no Windows build in " << dir << std::endl;
      return 2;
    }
    const std::string arch = dir.substr(dir.find_last_of('/') + 1);
    clients.push_back({"wine " + arch, settings.at("bench_client"), config});
  }

  std::vector<Result> results;
  for (const Client& client : clients) {
    std::printf("%s: %s, %.0f s ...\n", kProgram, client.label.c_str(), seconds);
    results.push_back(runClient(client, seconds));
  }
  std::printf("\n%-12s %6s%s\n", "client", "frames", timingHeader().c_str());
  std::printf("%-12s %6s%s\n", "", "", timingSubheader().c_str());
  bool failed = false;
  Json runs = Json::array();
  for (const Result& r : results) {
    Json run = {{"client", r.label}};
    if (!r.error.empty()) {
      std::printf("%-12s %s\n", r.label.c_str(),
                  (r.skipped ? r.error : "failed: " + r.error).c_str());
      failed = failed || !r.skipped;
      run["error"] = true;
    } else {
      std::printf("%-12s %6zu%s\n", r.label.c_str(), r.frames, timingCells(r).c_str());
      printNotes(r);
      run.update(figuresJson(r));
    }
    runs.push_back(run);
  }
  const Json json = {{"cycle_ms", kCycleMs}, {"seconds", jsonNumber(seconds)}, {"runs", runs}};
  if (!options.jsonPath.empty() && !writeJson(kProgram, options.jsonPath, json)) {
    return 1;
  }
  return failed ? 1 : 0;
}
