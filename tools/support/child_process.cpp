#include "child_process.h"

#include <fcntl.h>
#include <linux/close_range.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <thread>

namespace tolvarine_tools {

namespace {

// Only async-signal-safe calls between fork and exec: report through the pipe, then leave.
[[noreturn]] void childFailed(int reportFd, int code) {
  const ssize_t ignored = ::write(reportFd, &code, sizeof code);
  (void)ignored;
  ::_exit(127);
}

}  // namespace

ChildProcess::~ChildProcess() {
  if (pid_ > 0 && !ended_) {
    ::kill(pid_, SIGKILL);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
  }
}

bool ChildProcess::start(const std::vector<std::string>& argv, const std::string& workDir,
                         const std::string& logFile, std::string* error) {
  return start(argv, workDir, Output{logFile, logFile, -1}, error);
}

bool ChildProcess::start(const std::vector<std::string>& argv, const std::string& workDir,
                         const Output& output, std::string* error) {
  auto fail = [error](const std::string& reason) {
    if (error != nullptr) {
      *error = reason;
    }
    return false;
  };
  if (argv.empty()) {
    return fail("no program given");
  }
  // Everything the child needs is prepared here: after fork it may only
  // make async-signal-safe calls, as other threads may hold locks.
  std::vector<char*> args;
  for (const std::string& a : argv) {
    args.push_back(const_cast<char*>(a.c_str()));
  }
  args.push_back(nullptr);
  // One descriptor when both go to the same file, so that their lines
  // keep their order.
  int outFd = -1, errFd = output.errFd, ownErrFd = -1;
  auto closeFiles = [&] {
    for (int fd : {outFd, ownErrFd}) {
      if (fd >= 0) {
        ::close(fd);
      }
    }
  };
  auto openLog = [&](const std::string& file, int& fd) {
    fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    return fd >= 0 || fail("cannot open " + file + ": " + std::strerror(errno));
  };
  if (!output.outFile.empty() && !openLog(output.outFile, outFd)) {
    return false;
  }
  if (errFd < 0 && !output.errFile.empty()) {
    if (output.errFile == output.outFile) {
      errFd = outFd;
    } else if (!openLog(output.errFile, ownErrFd)) {
      closeFiles();
      return false;
    } else {
      errFd = ownErrFd;
    }
  }
  int report[2];
  if (::pipe2(report, O_CLOEXEC) != 0) {
    const int code = errno;
    closeFiles();
    return fail(std::string("pipe: ") + std::strerror(code));
  }
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid < 0) {
    const int code = errno;
    ::close(report[0]);
    ::close(report[1]);
    closeFiles();
    return fail(std::string("fork: ") + std::strerror(code));
  }
  if (pid == 0) {
    // Our own process group: a Ctrl-C on the terminal reaches the owner
    // only, which then shuts the child down in order.
    ::setpgid(0, 0);
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != parent) {
      ::_exit(127);  // the owner is already gone
    }
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    const int devNull = ::open("/dev/null", O_RDONLY);
    if (devNull < 0 || ::dup2(devNull, STDIN_FILENO) < 0) {
      childFailed(report[1], errno);
    }
    if ((outFd >= 0 && ::dup2(outFd, STDOUT_FILENO) < 0) ||
        (errFd >= 0 && ::dup2(errFd, STDERR_FILENO) < 0)) {
      childFailed(report[1], errno);
    }
    if (devNull > STDERR_FILENO) {
      ::close(devNull);
    }
    if (!workDir.empty() && ::chdir(workDir.c_str()) != 0) {
      childFailed(report[1], errno);
    }
    // Descriptors other threads opened without close-on-exec (a pty, a
    // socket) must not live on in the child.
    if (::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) != 0) {
      for (int fd = 3; fd < 4096; ++fd) {
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
      }
    }
    ::execv(args[0], args.data());
    childFailed(report[1], errno);
  }
  ::close(report[1]);
  closeFiles();
  pid_ = pid;
  ended_ = false;
  int code = 0;
  ssize_t n;
  do {
    n = ::read(report[0], &code, sizeof code);
  } while (n < 0 && errno == EINTR);
  ::close(report[0]);
  if (n == static_cast<ssize_t>(sizeof code)) {
    waitFor(std::chrono::milliseconds(1000));
    return fail("cannot run " + argv[0] + ": " + std::strerror(code));
  }
  return true;
}

void ChildProcess::reaped(int status) {
  ended_ = true;
  status_ = status;
}

bool ChildProcess::running() {
  if (pid_ <= 0 || ended_) {
    return false;
  }
  int status = 0;
  const pid_t r = ::waitpid(pid_, &status, WNOHANG);
  if (r == pid_) {
    reaped(status);
    return false;
  }
  return true;
}

bool ChildProcess::waitFor(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (running()) {
    if (std::chrono::steady_clock::now() >= deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

void ChildProcess::signal(int signal) {
  if (pid_ > 0 && !ended_) {
    ::kill(pid_, signal);
  }
}

void ChildProcess::stop(std::chrono::milliseconds grace) {
  if (!running()) {
    return;
  }
  signal(SIGTERM);
  if (waitFor(grace)) {
    return;
  }
  signal(SIGKILL);
  int status = 0;
  while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  reaped(status);
}

std::string ChildProcess::describeEnd() const {
  std::ostringstream text;
  if (!ended_) {
    text << "is still running";
  } else if (WIFEXITED(status_)) {
    text << "exited with status " << WEXITSTATUS(status_);
  } else if (WIFSIGNALED(status_)) {
    text << "was killed by signal " << WTERMSIG(status_) << " (" << ::strsignal(WTERMSIG(status_))
         << ")";
  } else {
    text << "ended with wait status " << status_;
  }
  return text.str();
}

bool ChildProcess::exitedCleanly() const {
  return ended_ && WIFEXITED(status_) && WEXITSTATUS(status_) == 0;
}

int ChildProcess::exitCode() const {
  return ended_ && WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
}

int ChildProcess::shellStatus() const {
  if (!ended_) {
    return -1;
  }
  return WIFEXITED(status_) ? WEXITSTATUS(status_) : 128 + WTERMSIG(status_);
}

std::string findProgram(const std::string& name) {
  if (name.empty()) {
    return std::string();
  }
  if (name.find('/') != std::string::npos) {
    return ::access(name.c_str(), X_OK) == 0 ? name : std::string();
  }
  const char* path = std::getenv("PATH");
  std::istringstream dirs(path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin");
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    const std::string candidate = (dir.empty() ? std::string(".") : dir) + "/" + name;
    if (::access(candidate.c_str(), X_OK) == 0) {
      return candidate;
    }
  }
  return std::string();
}

}  // namespace tolvarine_tools
