#include "link_stats.h"

#include <dirent.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>

namespace tolvarine_bench {

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

double driftMsPer10Min(const std::vector<double>& arrivalsMs) {
  const std::size_t n = arrivalsMs.size();
  if (n < 3) {
    return NAN;
  }
  double sx = 0, sy = 0, sxx = 0, sxy = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const double x = static_cast<double>(i);
    const double y = arrivalsMs[i] - arrivalsMs[0];
    sx += x;
    sy += y;
    sxx += x * x;
    sxy += x * y;
  }
  const double slope = (n * sxy - sx * sy) / (n * sxx - sx * sx);
  return (slope - kCycleMs) / slope * 600000.0;
}

double ms(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

void measureFrames(const std::vector<ReceivedFrame>& frames, LinkFigures& figures) {
  std::vector<double> periods, deviations, arrivals;
  for (std::size_t i = 0; i < frames.size(); ++i) {
    arrivals.push_back(ms(frames[i].at - frames[0].at));
    if (i > 0) {
      periods.push_back(ms(frames[i].at - frames[i - 1].at));
      deviations.push_back(std::fabs(periods.back() - kCycleMs));
    }
  }
  figures.frames = frames.size();
  figures.period = summarise(periods);
  figures.deviation = summarise(deviations);
  figures.drift = driftMsPer10Min(arrivals);
}

bool sameWheels(const ReceivedFrame& a, const ReceivedFrame& b) {
  return std::equal(a.bytes.begin() + 1, a.bytes.begin() + 5, b.bytes.begin() + 1);
}

std::string timingHeader() {
  char text[160];
  std::snprintf(text, sizeof text, " | %7s %7s | %6s %6s %6s | %8s | %6s %6s %6s %4s", "mean",
                "p50", "p50", "p99", "max", "drift", "p50", "p99", "max", "n");
  return text;
}

std::string timingSubheader() {
  char text[160];
  std::snprintf(text, sizeof text, " | %15s | %20s | %8s | %27s", "period ms",
                "|period - 30 ms| ms", "ms/10min", "command to wire ms");
  return text;
}

std::string timingCells(const LinkFigures& f) {
  char text[160];
  std::snprintf(text, sizeof text,
                " | %7.3f %7.3f | %6.3f %6.3f %6.3f | %8.1f | %6.2f %6.2f %6.2f %4zu",
                f.period.mean, f.period.p50, f.deviation.p50, f.deviation.p99, f.deviation.max,
                f.drift, f.latency.p50, f.latency.p99, f.latency.max, f.latency.count);
  return text;
}

void printNotes(const LinkFigures& f) {
  if (f.targetsNotSeen > 0) {
    std::printf("%-12s %zu targets never reached the wire within 500 ms\n", "", f.targetsNotSeen);
  }
  if (!f.boardRealTime) {
    std::printf("%-12s the board thread runs at normal priority\n", "");
  }
}

Json jsonNumber(double v) {
  return std::isfinite(v) ? Json(std::round(v * 1e4) / 1e4) : Json();
}

namespace {

Json statsJson(const Stats& s) {
  return {{"n", s.count},
          {"mean", jsonNumber(s.mean)},
          {"p50", jsonNumber(s.p50)},
          {"p99", jsonNumber(s.p99)},
          {"max", jsonNumber(s.max)}};
}

}  // namespace

Json figuresJson(const LinkFigures& f) {
  return {{"frames", f.frames},
          {"period_ms", statsJson(f.period)},
          {"deviation_ms", statsJson(f.deviation)},
          {"drift_ms_per_10min", jsonNumber(f.drift)},
          {"command_to_wire_ms", statsJson(f.latency)},
          {"targets_not_seen", f.targetsNotSeen}};
}

bool writeJson(const std::string& program, const std::string& path, const Json& json) {
  std::ofstream out(path);
  out << json.dump(1) << "\n";
  if (!out) {
    std::cerr << program << ": cannot write " << path << std::endl;
  }
  return static_cast<bool>(out);
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

long newThread(const std::set<long>& before, const std::set<long>& ignore) {
  for (long id : threadIds()) {
    if (before.count(id) == 0 && ignore.count(id) == 0) {
      return id;
    }
  }
  return -1;
}

bool startBoard(tolvarine_board_sim::SimulatedBoard& board, LinkFigures& figures,
                std::string* error) {
  const std::set<long> before = threadIds();
  if (!board.start(error)) {
    return false;
  }
  const long thread = newThread(before, {});
  sched_param param{};
  param.sched_priority = sched_get_priority_max(SCHED_FIFO) / 2;
  figures.boardRealTime = thread > 0 && sched_setscheduler(thread, SCHED_FIFO, &param) == 0;
  return true;
}

double threadCpuMs(long tid) {
  if (tid < 0) {
    return NAN;
  }
  std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/schedstat");
  double ns = NAN;
  in >> ns;
  return ns / 1e6;
}

double processCpuMs() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return t.tv_sec * 1000.0 + t.tv_nsec / 1e6;
}

Cpu cpuBetween(const CpuMark& from, const CpuMark& to) {
  const double s = ms(to.wall - from.wall) / 1000.0;
  return {(to.process - from.process) / s, (to.comm - from.comm) / s,
          (to.control - from.control) / s};
}

std::vector<pid_t> startLoad() {
  std::vector<pid_t> children;
  const long cores = std::max(1L, sysconf(_SC_NPROCESSORS_ONLN));
  for (long i = 0; i < cores; ++i) {
    const pid_t pid = fork();
    if (pid == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      volatile std::uint64_t spin = 0;
      for (;;) {
        spin = spin + 1;
      }
    }
    if (pid > 0) {
      children.push_back(pid);
    }
  }
  return children;
}

void stopLoad(const std::vector<pid_t>& children) {
  for (pid_t pid : children) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
}

}  // namespace tolvarine_bench
