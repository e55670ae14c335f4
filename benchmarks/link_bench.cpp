// tolvarine-link-bench: the link's cycle timing and CPU cost against the
// simulated board, with the controller in a process of its own, on Linux and
// on Windows under Wine (see --help).

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>

#include <nlohmann/json.hpp>

#include "command_line.h"
#include "link_run.h"
#include "wine_prefix.h"

namespace {

using namespace tolvarine_bench;
using Json = nlohmann::ordered_json;

constexpr const char* kProgram = "tolvarine-link-bench";

struct Options {
  double seconds = 10;
  bool load = false;
  std::string mode = "all";
  bool wine = false;
  std::vector<std::string> windowsBuilds;
  std::string jsonPath;
};

void addOptions(CLI::App& app, Options& o) {
  app.description(
      "Hosts the simulated board (its thread at real-time priority where permitted, so that it "
      "sees the frames as they arrive) and runs link_bench_client, which brings an "
      "AutoController up on it and drives the 30 ms cycle for N seconds, once per mode: the "
      "Linux build on the pseudo-terminal and, with --wine, each Windows build under Wine with "
      "the pseudo-terminal mapped as COM5. Prints one table row per run.");
  app.footer(
      "Each row: the cycle period seen at the board (mean and p50 of the period; p50, p99 and "
      "max of |period - 30 ms|); drift (the frames' arrival times fitted against their number, "
      "as ms gained (+) or lost against frames x 30 ms per 10 minutes of wall time); command to "
      "wire (from setSendDataVRL with a new target, every 45 to 75 ms at a random point of the "
      "cycle, to the first frame at the board carrying its first ramp step, p50, p99, max, "
      "count; none in silent mode, where the link is lost); CPU time per wall second of the "
      "client (the whole process, and for the Linux client its communication thread and its "
      "control thread).\n\n"
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
  app.add_flag("--wine", o.wine,
               "also run the Windows builds under Wine: this build's windows/x86_64 and "
               "windows/i686 where they exist");
  app.add_option("--windows-build", o.windowsBuilds,
                 "run this Windows build under Wine (its folder, with windows-test-config.txt) "
                 "instead; repeatable")
      ->option_text("DIR");
  app.add_option("--json", o.jsonPath, "also write the results to FILE as JSON")
      ->option_text("FILE");
}

// The Linux client, then the Windows builds asked for; false (with a line
// on standard error) when a folder holds no Windows build.
bool findClients(Options& options, std::vector<Client>& clients) {
  clients = {{"linux", TOLVARINE_NATIVE_CLIENT, ""}};
  if (options.wine && options.windowsBuilds.empty()) {
    for (const char* arch : {"x86_64", "i686"}) {
      const std::string dir = std::string(TOLVARINE_WINDOWS_BUILDS) + "/" + arch;
      if (std::filesystem::exists(dir + "/windows-test-config.txt")) {
        options.windowsBuilds.push_back(dir);
      }
    }
  }
  for (const std::string& dir : options.windowsBuilds) {
    const std::string config = dir + "/windows-test-config.txt";
    const auto settings = tolvarine_tools::readSettings(config);
    if (settings.count("bench_client") == 0) {
      std::cerr << kProgram << ": no Windows build in " << dir << std::endl;
      return false;
    }
    const std::string arch = dir.substr(dir.find_last_of('/') + 1);
    clients.push_back({"wine " + arch, settings.at("bench_client"), config});
  }
  return true;
}

std::string label(const Result& r) {
  return std::string(modeName(r.run.mode)) + (r.run.load ? "+load" : "");
}

// A row per run: the cycle at the board, command to wire, the client's CPU.
void printTable(const std::vector<Result>& results) {
  std::printf("%-12s %-12s %6s %6s | %7s %7s | %6s %6s %6s | %8s | %6s %6s %6s %4s | %6s %6s %6s\n",
              "client", "mode", "frames", "expect", "mean", "p50", "p50", "p99", "max", "drift",
              "p50", "p99", "max", "n", "proc", "comm", "ctrl");
  std::printf("%-12s %-12s %6s %6s | %15s | %20s | %8s | %27s | %20s\n", "", "", "", "",
              "period ms", "|period - 30 ms| ms", "ms/10min", "command to wire ms", "CPU ms/s");
  for (const Result& r : results) {
    const char* client = r.run.client.label.c_str();
    if (!r.error.empty()) {
      std::printf("%-12s %-12s %s%s\n", client, label(r).c_str(),
                  r.skipped ? "" : "failed: ", r.error.c_str());
      continue;
    }
    std::printf(
        "%-12s %-12s %6zu %6.0f | %7.3f %7.3f | %6.3f %6.3f %6.3f | %8.1f | %6.2f %6.2f %6.2f "
        "%4zu | %6.2f %6.2f %6.2f\n",
        client, label(r).c_str(), r.frames, r.expectedFrames, r.period.mean, r.period.p50,
        r.deviation.p50, r.deviation.p99, r.deviation.max, r.drift, r.latency.p50, r.latency.p99,
        r.latency.max, r.latency.count, r.cpu.process, r.cpu.comm, r.cpu.control);
    if (r.run.mode == Mode::kGone) {
      std::printf("%-12s after the device has gone, CPU ms/s: process %.2f comm %.2f ctrl %.2f\n",
                  "", r.cpuAfterGone.process, r.cpuAfterGone.comm, r.cpuAfterGone.control);
    }
    if (r.targetsNotSeen > 0) {
      std::printf("%-12s %zu targets never reached the wire within 500 ms\n", "", r.targetsNotSeen);
    }
    if (!r.boardRealTime) {
      std::printf("%-12s the board thread runs at normal priority\n", "");
    }
  }
}

// A number rounded to 4 places; NaN and infinities (no samples) as null.
Json jsonNumber(double v) {
  return std::isfinite(v) ? Json(std::round(v * 1e4) / 1e4) : Json();
}

Json statsJson(const Stats& s) {
  return {{"n", s.count},
          {"mean", jsonNumber(s.mean)},
          {"p50", jsonNumber(s.p50)},
          {"p99", jsonNumber(s.p99)},
          {"max", jsonNumber(s.max)}};
}

Json cpuJson(const Cpu& c) {
  return {{"process", jsonNumber(c.process)},
          {"communication", jsonNumber(c.comm)},
          {"control", jsonNumber(c.control)}};
}

Json resultsJson(const std::vector<Result>& results, double seconds) {
  Json runs = Json::array();
  for (const Result& r : results) {
    Json run = {
        {"client", r.run.client.label}, {"mode", modeName(r.run.mode)}, {"load", r.run.load}};
    if (!r.error.empty()) {
      run["error"] = r.error;
      run["skipped"] = r.skipped;
    } else {
      run.update({{"frames", r.frames},
                  {"period_ms", statsJson(r.period)},
                  {"deviation_ms", statsJson(r.deviation)},
                  {"drift_ms_per_10min", jsonNumber(r.drift)},
                  {"command_to_wire_ms", statsJson(r.latency)},
                  {"targets_not_seen", r.targetsNotSeen},
                  {"expected_frames", jsonNumber(r.expectedFrames)},
                  {"cpu_ms_per_s", cpuJson(r.cpu)}});
      if (r.run.mode == Mode::kGone) {
        run["cpu_ms_per_s_after_gone"] = cpuJson(r.cpuAfterGone);
      }
      run["board_real_time"] = r.boardRealTime;
    }
    runs.push_back(run);
  }
  return {{"cycle_ms", kCycleMs}, {"seconds", jsonNumber(seconds)}, {"runs", runs}};
}

}  // namespace

int main(int argc, char** argv) {
  // Lines go out as they are printed, in step with the progress lines.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  Options options;
  CLI::App app("", kProgram);
  addOptions(app, options);
  if (const int status = tolvarine_tools::parseCommandLine(app, argc, argv); status >= 0) {
    return status;
  }
  std::vector<Client> clients;
  if (!findClients(options, clients)) {
    return 2;
  }
  std::vector<Run> runs;
  for (const Client& client : clients) {
    for (int m = 0; m < 4; ++m) {
      if (options.mode == "all" || options.mode == kModeNames[m]) {
        runs.push_back({client, static_cast<Mode>(m), options.load});
      }
    }
    if (options.mode == "all" && !options.load) {
      runs.push_back({client, Mode::kNormal, true});
    }
  }

  std::vector<Result> results;
  bool failed = false;
  for (const Run& run : runs) {
    std::printf("%s: %s, %s%s, %.0f s ...\n", kProgram, run.client.label.c_str(),
                modeName(run.mode), run.load ? " with load" : "", options.seconds);
    results.push_back(runLink(run, options.seconds));
    failed = failed || (!results.back().error.empty() && !results.back().skipped);
  }
  std::printf("\n");
  printTable(results);
  if (!options.jsonPath.empty()) {
    std::ofstream out(options.jsonPath);
    out << resultsJson(results, options.seconds).dump(1) << "\n";
    if (!out) {
      std::cerr << kProgram << ": cannot write " << options.jsonPath << std::endl;
      return 1;
    }
  }
  return failed ? 1 : 0;
}
