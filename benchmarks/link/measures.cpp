#include "measures.h"

#include <dirent.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>

namespace tolvarine_bench {

double ms(Clock::duration d) {
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

long newThread(const std::set<long>& before, const std::set<long>& ignore) {
  for (long id : threadIds()) {
    if (before.count(id) == 0 && ignore.count(id) == 0) {
      return id;
    }
  }
  return -1;
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
