#include "link_stats.h"

#include <dirent.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <numeric>

namespace tolvarine_bench {

namespace {

// Least-squares slope of the frames' arrival times (ms, any origin) over
// their number, against 30 ms, as ms gained (+) or lost per 10 minutes:
// every frame counts, not just the two ends. NaN for fewer than 3 frames.
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

// Whether two frames carry the same wheel bytes (1 to 4).
bool sameWheels(const ReceivedFrame& a, const ReceivedFrame& b) {
  return std::equal(a.bytes.begin() + 1, a.bytes.begin() + 5, b.bytes.begin() + 1);
}

Stats summarise(std::vector<double> values) {
  Stats s;
  s.count = values.size();
  if (values.empty()) {
    return s;
  }
  std::sort(values.begin(), values.end());
  auto at = [&values](double q) {
    return values[std::min(values.size() - 1, static_cast<std::size_t>(q * values.size()))];
  };
  s.mean = std::accumulate(values.begin(), values.end(), 0.0) / values.size();
  s.p50 = at(0.5);
  s.p99 = at(0.99);
  s.max = values.back();
  return s;
}

}  // namespace

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

void matchTargets(const std::vector<ReceivedFrame>& frames,
                  const std::vector<Clock::time_point>& targets, LinkFigures& figures) {
  std::vector<double> latencies;
  std::size_t next = 1;
  for (const Clock::time_point target : targets) {
    while (next < frames.size() && frames[next].at < target) {
      ++next;
    }
    // The targets alternate between two speeds: the first later frame whose
    // wheels changed carries this one.
    std::size_t i = next;
    while (i < frames.size() && sameWheels(frames[i], frames[i - 1])) {
      ++i;
    }
    if (i < frames.size() && frames[i].at - target < std::chrono::milliseconds(500)) {
      latencies.push_back(ms(frames[i].at - target));
    } else {
      ++figures.targetsNotSeen;
    }
  }
  figures.latency = summarise(latencies);
}

std::set<long> threadIds(pid_t pid) {
  std::set<long> ids;
  if (DIR* dir = opendir(("/proc/" + std::to_string(pid) + "/task").c_str())) {
    while (dirent* entry = readdir(dir)) {
      if (entry->d_name[0] != '.') {
        ids.insert(std::strtol(entry->d_name, nullptr, 10));
      }
    }
    closedir(dir);
  }
  return ids;
}

bool startBoard(tolvarine_board_sim::SimulatedBoard& board, LinkFigures& figures,
                std::string* error) {
  const std::set<long> before = threadIds(getpid());
  if (!board.start(error)) {
    return false;
  }
  long thread = -1;
  for (long id : threadIds(getpid())) {
    thread = before.count(id) == 0 ? id : thread;
  }
  sched_param param{};
  param.sched_priority = sched_get_priority_max(SCHED_FIFO) / 2;
  figures.boardRealTime = thread > 0 && sched_setscheduler(thread, SCHED_FIFO, &param) == 0;
  return true;
}

namespace {

double threadCpuMs(pid_t pid, long tid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/task/" + std::to_string(tid) + "/schedstat");
  double ns = NAN;
  in >> ns;
  return ns / 1e6;
}

}  // namespace

CpuMark cpuMark(pid_t pid, long commThread, long controlThread) {
  CpuMark mark{Clock::now(), 0, NAN, NAN};
  for (long id : threadIds(pid)) {
    mark.process += threadCpuMs(pid, id);
  }
  if (commThread >= 0 && controlThread >= 0) {
    mark.comm = threadCpuMs(pid, commThread);
    mark.control = threadCpuMs(pid, controlThread);
  }
  return mark;
}

Cpu cpuBetween(const CpuMark& from, const CpuMark& to) {
  const double s = ms(to.wall - from.wall) / 1000.0;
  return {(to.process - from.process) / s, (to.comm - from.comm) / s,
          (to.control - from.control) / s};
}

}  // namespace tolvarine_bench
