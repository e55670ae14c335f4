#include "child_process.h"

#include <fcntl.h>
#include <linux/close_range.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <thread>

extern char** environ;

namespace tolvarine_tools {

namespace {

// Only async-signal-safe calls between fork and exec: report through the pipe, then leave.
[[noreturn]] void childFailed(int reportFd, int code) {
  const ssize_t ignored = ::write(reportFd, &code, sizeof code);
  (void)ignored;
  ::_exit(127);
}

void closeFd(int& fd) {
  if (fd >= 0) {
    ::close(fd);
    fd = -1;
  }
}

// A descriptor of ours, closed when it goes out of scope.
struct OwnedFd {
  int fd = -1;
  ~OwnedFd() { closeFd(fd); }
};

}  // namespace

ChildProcess::~ChildProcess() {
  kill();
  closeFd(input_);
  closeFd(output_);
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
  std::vector<std::string> environment;
  for (char** e = environ; *e != nullptr; ++e) {
    environment.emplace_back(*e);
  }
  environment.insert(environment.end(), output.environment.begin(), output.environment.end());
  std::vector<char*> env;
  for (std::string& e : environment) {
    env.push_back(e.data());
  }
  env.push_back(nullptr);
  // One descriptor when both go to the same file, so that their lines
  // keep their order.
  OwnedFd outLog, errLog;
  int errFd = output.errFd;
  auto openLog = [&](const std::string& file, OwnedFd& log) {
    log.fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    return log.fd >= 0 || fail("cannot open " + file + ": " + std::strerror(errno));
  };
  if (!output.outFile.empty() && !openLog(output.outFile, outLog)) {
    return false;
  }
  if (errFd < 0 && !output.errFile.empty()) {
    if (output.errFile == output.outFile) {
      errFd = outLog.fd;
    } else if (!openLog(output.errFile, errLog)) {
      return false;
    } else {
      errFd = errLog.fd;
    }
  }
  // The report pipe, and with `pipes` the child's input and output.
  OwnedFd fds[6];
  for (int i = 0; i < (output.pipes ? 6 : 2); i += 2) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) {
      return fail(std::string("pipe: ") + std::strerror(errno));
    }
    fds[i].fd = ends[0];
    fds[i + 1].fd = ends[1];
  }
  if (output.pipes) {
    // A child that outlives a failed write must not take us down with SIGPIPE.
    ::signal(SIGPIPE, SIG_IGN);
  }
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid < 0) {
    return fail(std::string("fork: ") + std::strerror(errno));
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
    const int devNull = output.pipes ? fds[2].fd : ::open("/dev/null", O_RDONLY);
    const int outFd = output.pipes ? fds[5].fd : outLog.fd;
    if (devNull < 0 || ::dup2(devNull, STDIN_FILENO) < 0 ||
        (outFd >= 0 && ::dup2(outFd, STDOUT_FILENO) < 0) ||
        (errFd >= 0 && ::dup2(errFd, STDERR_FILENO) < 0) ||
        (!workDir.empty() && ::chdir(workDir.c_str()) != 0)) {
      childFailed(fds[1].fd, errno);
    }
    // Descriptors other threads opened without close-on-exec (a pty, a
    // socket, /dev/null above) must not live on in the child.
    if (::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) != 0) {
      for (int fd = 3; fd < 4096; ++fd) {
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
      }
    }
    ::execve(args[0], args.data(), env.data());
    childFailed(fds[1].fd, errno);
  }
  pid_ = pid;
  ended_ = false;
  std::swap(input_, fds[3].fd);
  std::swap(output_, fds[4].fd);
  closeFd(fds[1].fd);  // else the read below would wait for ever
  int code = 0;
  ssize_t n;
  do {
    n = ::read(fds[0].fd, &code, sizeof code);
  } while (n < 0 && errno == EINTR);
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
  if (!waitFor(grace)) {
    kill();
  }
}

void ChildProcess::kill() {
  if (pid_ > 0 && !ended_) {
    ::kill(pid_, SIGKILL);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    reaped(status);
  }
}

bool ChildProcess::readLine(std::string& line, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const auto end = pending_.find('\n');
    if (end != std::string::npos) {
      line = pending_.substr(0, end);
      if (!line.empty() && line.back() == '\r') {
        line.pop_back();  // a Windows program ends its lines with CR LF
      }
      pending_.erase(0, end + 1);
      lines_.push_back(line);
      return true;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (output_ < 0 || left.count() <= 0) {
      return false;
    }
    pollfd request{output_, POLLIN, 0};
    const int ready = ::poll(&request, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) {
      continue;
    }
    if (ready <= 0) {
      return false;
    }
    char buffer[512];
    const ssize_t n = ::read(output_, buffer, sizeof buffer);
    if (n > 0) {
      pending_.append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      closeFd(output_);  // the output has ended; what is pending has no line break
    }
  }
}

bool ChildProcess::writeLine(const std::string& line) {
  const std::string text = line + "\n";
  return input_ >= 0 &&
         ::write(input_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

void ChildProcess::closeInput() {
  closeFd(input_);
}

std::string ChildProcess::describeEnd() const {
  if (!ended_) {
    return "is still running";
  }
  if (WIFEXITED(status_)) {
    return "exited with status " + std::to_string(WEXITSTATUS(status_));
  }
  if (WIFSIGNALED(status_)) {
    return "was killed by signal " + std::to_string(WTERMSIG(status_)) + " (" +
           ::strsignal(WTERMSIG(status_)) + ")";
  }
  return "ended with wait status " + std::to_string(status_);
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
