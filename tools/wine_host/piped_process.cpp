#include "piped_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

extern char** environ;

namespace tolvarine_tools {

namespace {

void closeFd(int& fd) {
  if (fd >= 0) {
    ::close(fd);
    fd = -1;
  }
}

}  // namespace

PipedProcess::~PipedProcess() {
  kill();
  closeFd(input_);
  closeFd(output_);
}

bool PipedProcess::start(const std::vector<std::string>& argv,
                         const std::vector<std::string>& environment, const std::string& errorLog,
                         std::string* error) {
  auto fail = [error](const std::string& reason) {
    if (error != nullptr) {
      *error = reason;
    }
    return false;
  };
  if (argv.empty() || pid_ > 0) {
    return fail(argv.empty() ? "no program given" : "already started");
  }
  int toChild[2];
  int fromChild[2];
  if (::pipe2(toChild, O_CLOEXEC) != 0) {
    return fail(std::string("pipe: ") + std::strerror(errno));
  }
  if (::pipe2(fromChild, O_CLOEXEC) != 0) {
    const int code = errno;
    ::close(toChild[0]);
    ::close(toChild[1]);
    return fail(std::string("pipe: ") + std::strerror(code));
  }
  // A child that outlives a failed write must not take us down with SIGPIPE.
  ::signal(SIGPIPE, SIG_IGN);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, toChild[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, fromChild[1], STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errorLog.c_str(),
                                   O_WRONLY | O_CREAT | O_APPEND, 0644);
  std::vector<char*> args;
  for (const std::string& a : argv) {
    args.push_back(const_cast<char*>(a.c_str()));
  }
  args.push_back(nullptr);
  std::vector<std::string> envStrings;
  for (char** e = environ; *e != nullptr; ++e) {
    envStrings.emplace_back(*e);
  }
  envStrings.insert(envStrings.end(), environment.begin(), environment.end());
  std::vector<char*> env;
  for (std::string& e : envStrings) {
    env.push_back(&e[0]);
  }
  env.push_back(nullptr);

  const int spawned = ::posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), env.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(toChild[0]);
  ::close(fromChild[1]);
  if (spawned != 0) {
    pid_ = -1;
    ::close(toChild[1]);
    ::close(fromChild[0]);
    return fail("cannot start " + argv[0] + ": " + std::strerror(spawned));
  }
  input_ = toChild[1];
  output_ = fromChild[0];
  return true;
}

bool PipedProcess::readLine(std::string& line, std::chrono::milliseconds timeout) {
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

bool PipedProcess::writeLine(const std::string& line) {
  if (input_ < 0) {
    return false;
  }
  const std::string text = line + "\n";
  return ::write(input_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

void PipedProcess::closeInput() {
  closeFd(input_);
}

bool PipedProcess::waitFor(std::chrono::milliseconds timeout) {
  if (pid_ <= 0 || ended_) {
    return true;
  }
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    int status = 0;
    const pid_t done = ::waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      ended_ = true;
      status_ = status;
      return true;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      return false;
    }
    ::usleep(10000);
  }
}

void PipedProcess::kill() {
  if (pid_ > 0 && !ended_) {
    ::kill(pid_, SIGKILL);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    ended_ = true;
    status_ = status;
  }
}

int PipedProcess::exitCode() const {
  return ended_ && WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
}

}  // namespace tolvarine_tools
