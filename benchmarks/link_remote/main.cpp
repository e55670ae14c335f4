// tolvarine-link-bench-remote: the link's timing with the controller in a
// process of its own, on Linux and on Windows under Wine, side by side. For
// each client it starts the simulated board (its thread at real-time
// priority where permitted), runs link_bench_client against it (the Linux
// build directly on the pseudo-terminal, a Windows build under Wine through
// the pseudo-terminal mapped as COM5), then reads the board's record:
// the cycle period and its deviation from 30 ms, the drift, and the time
// from each new target to the first frame that carries it. The client notes
// its targets on the wall clock, which both processes share; the board's
// times are put on the same clock.

#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <dirent.h>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "link_stats.h"
#include "piped_process.h"
#include "tolvarine_board_sim/simulated_board.h"
#include "wine_prefix.h"

namespace {

using tolvarine_bench::kCycleMs;
using tolvarine_bench::Stats;
using tolvarine_bench::summarise;
using tolvarine_board_sim::ReceivedFrame;
using tolvarine_board_sim::SimulatedBoard;
using tolvarine_tools::PipedProcess;
using tolvarine_tools::WinePrefix;
using namespace std::chrono_literals;

constexpr int kComPort = 5;

void printUsage(std::ostream& out) {
  out << "Usage: tolvarine-link-bench-remote [--seconds N] [--windows-build DIR]... [--json FILE]\n"
         "\n"
         "Runs link_bench_client against the simulated board for N seconds, first the\n"
         "Linux build on the pseudo-terminal, then each Windows build under Wine with the\n"
         "pseudo-terminal mapped as COM5, and prints one row each:\n"
         "  - the cycle period seen at the board: mean and p50; p50, p99 and max of\n"
         "    |period - 30 ms|; the drift in ms per 10 minutes,\n"
         "  - command to wire: from setSendDataVRL with a new target (every 45 to\n"
         "    75 ms, at a random point of the cycle) to the first frame at the board\n"
         "    that carries it (p50, p99, max, count).\n"
         "\n"
         "Options:\n"
         "  --seconds N          measured time per client (default 10, 1 to 3600)\n"
         "  --windows-build DIR  a Windows build folder (its windows-test-config.txt);\n"
         "                       repeatable; default: this build's windows/x86_64 and\n"
         "                       windows/i686 where they exist\n"
         "  --linux-only         no Windows builds\n"
         "  --json FILE          also write the results to FILE as JSON\n"
         "  --help               show this text\n";
}

double ms(tolvarine_board_sim::Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
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

struct Client {
  std::string label;  // "linux", "wine x86_64", ...
  std::string program;
  std::string config;  // a Windows build's settings file; empty for Linux
};

struct Result {
  std::string label;
  std::size_t frames = 0;
  Stats period, deviation, latency;
  double drift = NAN;
  std::size_t unmatched = 0;  // targets never seen on the wire
  bool boardRealTime = false;
  std::string error;
  bool skipped = false;  // this machine cannot run the client (error says why)
};

std::map<std::string, std::string> readSettings(const std::string& path) {
  std::map<std::string, std::string> settings;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    const auto equals = line.find('=');
    if (equals != std::string::npos) {
      settings[line.substr(0, equals)] = line.substr(equals + 1);
    }
  }
  return settings;
}

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::stringstream in(text);
  for (std::string part; std::getline(in, part, separator);) {
    if (!part.empty()) {
      parts.push_back(part);
    }
  }
  return parts;
}

// The wheel bytes (1 to 4) a target of `mps` on both wheels gives, taken
// from the first frame that shows it: the targets alternate, so each frame
// whose wheels differ from the one before carries the newer target.
bool sameWheels(const ReceivedFrame& a, const ReceivedFrame& b) {
  return std::equal(a.bytes.begin() + 1, a.bytes.begin() + 5, b.bytes.begin() + 1);
}

Result runClient(const Client& client, double seconds) {
  Result result;
  result.label = client.label;
  SimulatedBoard board;
  const std::set<long> before = threadIds();
  if (!board.start(&result.error)) {
    return result;
  }
  for (long id : threadIds()) {
    if (before.count(id) == 0) {
      sched_param param{};
      param.sched_priority = sched_get_priority_max(SCHED_FIFO) / 2;
      result.boardRealTime = sched_setscheduler(id, SCHED_FIFO, &param) == 0;
    }
  }
  // The board's clock on the wall clock: the closest pair of readings.
  auto steadyZero = tolvarine_board_sim::Clock::now();
  std::int64_t wallZeroUs = 0;
  double bestGap = 1e9;
  for (int i = 0; i < 20; ++i) {
    const auto a = tolvarine_board_sim::Clock::now();
    const auto wall = std::chrono::system_clock::now();
    const auto b = tolvarine_board_sim::Clock::now();
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
    const auto settings = readSettings(client.config);
    const WinePrefix prefix(TOLVARINE_WINE_RUN,
                            settings.count("prefix") ? settings.at("prefix") : "",
                            split(settings.count("dll_dirs") ? settings.at("dll_dirs") : "", ':'));
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
  if (!program.start(argv, {"TOLVARINE_MESSAGE_BOX=off"}, errorLog, &result.error)) {
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
  std::vector<double> periods, deviations, arrivals, latencies;
  for (std::size_t i = 0; i < frames.size(); ++i) {
    arrivals.push_back(wallMs(frames[i]));
    if (i > 0) {
      const double period = ms(frames[i].at - frames[i - 1].at);
      periods.push_back(period);
      deviations.push_back(std::fabs(period - kCycleMs));
    }
  }
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
      ++result.unmatched;
    }
  }
  result.frames = frames.size();
  result.period = summarise(periods);
  result.deviation = summarise(deviations);
  result.drift = tolvarine_bench::driftMsPer10Min(arrivals);
  result.latency = summarise(latencies);
  return result;
}

std::string jsonNumber(double v) {
  if (!std::isfinite(v)) {
    return "null";
  }
  char text[32];
  std::snprintf(text, sizeof text, "%.4f", v);
  return text;
}

std::string jsonStats(const Stats& s) {
  return "{\"n\": " + std::to_string(s.count) + ", \"mean\": " + jsonNumber(s.mean) +
         ", \"p50\": " + jsonNumber(s.p50) + ", \"p99\": " + jsonNumber(s.p99) +
         ", \"max\": " + jsonNumber(s.max) + "}";
}

bool fileExists(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  double seconds = 10;
  std::string jsonPath;
  std::vector<std::string> windowsBuilds;
  bool linuxOnly = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      printUsage(std::cout);
      return 0;
    }
    if (arg == "--linux-only") {
      linuxOnly = true;
      continue;
    }
    if (arg != "--seconds" && arg != "--windows-build" && arg != "--json") {
      std::cerr << "tolvarine-link-bench-remote: unknown argument '" << arg << "' (see --help)"
                << std::endl;
      return 2;
    }
    if (i + 1 >= argc) {
      std::cerr << "tolvarine-link-bench-remote: " << arg << " needs a value" << std::endl;
      return 2;
    }
    const std::string value = argv[++i];
    if (arg == "--seconds") {
      char* end = nullptr;
      seconds = std::strtod(value.c_str(), &end);
      if (end == value.c_str() || *end != '\0' || !(seconds >= 1 && seconds <= 3600)) {
        std::cerr << "tolvarine-link-bench-remote: bad value '" << value
                  << "' for --seconds (see --help)" << std::endl;
        return 2;
      }
    } else if (arg == "--json") {
      jsonPath = value;
    } else {
      windowsBuilds.push_back(value);
    }
  }
  if (windowsBuilds.empty() && !linuxOnly) {
    for (const char* arch : {"x86_64", "i686"}) {
      const std::string dir = std::string(TOLVARINE_WINDOWS_BUILDS) + "/" + arch;
      if (fileExists(dir + "/windows-test-config.txt")) {
        windowsBuilds.push_back(dir);
      }
    }
  }

  std::vector<Client> clients{{"linux", TOLVARINE_NATIVE_CLIENT, ""}};
  for (const std::string& dir : windowsBuilds) {
    const std::string config = dir + "/windows-test-config.txt";
    const auto settings = readSettings(config);
    if (settings.count("bench_client") == 0) {
      std::cerr << "tolvarine-link-bench-remote: no Windows build in " << dir << std::endl;
      return 2;
    }
    const std::string arch = dir.substr(dir.find_last_of('/') + 1);
    clients.push_back({"wine " + arch, settings.at("bench_client"), config});
  }

  std::vector<Result> results;
  for (const Client& client : clients) {
    std::printf("tolvarine-link-bench-remote: %s, %.0f s ...\n", client.label.c_str(), seconds);
    results.push_back(runClient(client, seconds));
  }
  std::printf("\n%-12s %6s | %7s %7s | %6s %6s %6s | %8s | %6s %6s %6s %4s\n", "client", "frames",
              "mean", "p50", "p50", "p99", "max", "drift", "p50", "p99", "max", "n");
  std::printf("%-12s %6s | %15s | %20s | %8s | %27s\n", "", "", "period ms", "|period - 30 ms| ms",
              "ms/10min", "command to wire ms");
  bool failed = false;
  for (const Result& r : results) {
    if (!r.error.empty()) {
      std::printf("%-12s %s\n", r.label.c_str(),
                  (r.skipped ? r.error : "failed: " + r.error).c_str());
      failed = failed || !r.skipped;
      continue;
    }
    std::printf("%-12s %6zu | %7.3f %7.3f | %6.3f %6.3f %6.3f | %8.1f | %6.2f %6.2f %6.2f %4zu\n",
                r.label.c_str(), r.frames, r.period.mean, r.period.p50, r.deviation.p50,
                r.deviation.p99, r.deviation.max, r.drift, r.latency.p50, r.latency.p99,
                r.latency.max, r.latency.count);
    if (r.unmatched > 0) {
      std::printf("%-12s %zu targets never reached the wire within 500 ms\n", "", r.unmatched);
    }
    if (!r.boardRealTime) {
      std::printf("%-12s the board thread runs at normal priority\n", "");
    }
  }
  if (!jsonPath.empty()) {
    std::ofstream out(jsonPath);
    out << "{\"cycle_ms\": " << kCycleMs << ", \"seconds\": " << jsonNumber(seconds)
        << ", \"runs\": [\n";
    for (std::size_t i = 0; i < results.size(); ++i) {
      const Result& r = results[i];
      out << "  {\"client\": \"" << r.label << "\"";
      if (r.error.empty()) {
        out << ", \"frames\": " << r.frames << ", \"period_ms\": " << jsonStats(r.period)
            << ", \"deviation_ms\": " << jsonStats(r.deviation)
            << ", \"drift_ms_per_10min\": " << jsonNumber(r.drift)
            << ", \"command_to_wire_ms\": " << jsonStats(r.latency)
            << ", \"targets_not_seen\": " << r.unmatched;
      } else {
        out << ", \"error\": true";
      }
      out << "}" << (i + 1 < results.size() ? ",\n" : "\n");
    }
    out << "]}\n";
    if (!out) {
      std::cerr << "tolvarine-link-bench-remote: cannot write " << jsonPath << std::endl;
      return 1;
    }
  }
  return failed ? 1 : 0;
}
