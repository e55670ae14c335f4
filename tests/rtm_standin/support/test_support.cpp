#include "test_support.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace standin_test {

namespace {

void removeTree(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) {
    return;
  }
  if (S_ISDIR(st.st_mode)) {
    if (DIR* dir = ::opendir(path.c_str())) {
      std::vector<std::string> names;
      while (dirent* entry = ::readdir(dir)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..") {
          names.push_back(name);
        }
      }
      ::closedir(dir);
      for (const std::string& name : names) {
        removeTree(path + "/" + name);
      }
    }
    ::rmdir(path.c_str());
  } else {
    ::unlink(path.c_str());
  }
}

int connectTo(const std::string& path) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) {
    return -1;
  }
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    return -1;
  }
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

TempDir::TempDir() {
  char pattern[] = "/tmp/rtm-standin-test-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) {
    throw std::runtime_error("mkdtemp failed");
  }
  m_path = pattern;
}

TempDir::~TempDir() {
  removeTree(m_path);
}

void TempDir::write(const std::string& name, const std::string& content) const {
  std::ofstream out(file(name));
  out << content;
}

Process::Process(const std::vector<std::string>& argv, const std::string& cwd) {
  int outPipe[2];
  int errPipe[2];
  if (::pipe2(outPipe, O_CLOEXEC) != 0 || ::pipe2(errPipe, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe failed");
  }
  std::vector<char*> args;
  for (const std::string& a : argv) {
    args.push_back(const_cast<char*>(a.c_str()));
  }
  args.push_back(nullptr);
  m_pid = ::fork();
  if (m_pid < 0) {
    throw std::runtime_error("fork failed");
  }
  if (m_pid == 0) {
    ::dup2(outPipe[1], STDOUT_FILENO);
    ::dup2(errPipe[1], STDERR_FILENO);
    if (!cwd.empty() && ::chdir(cwd.c_str()) != 0) {
      ::_exit(126);
    }
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  ::close(outPipe[1]);
  ::close(errPipe[1]);
  m_outReader = std::thread([this, fd = outPipe[0]] { collect(fd, m_out); });
  m_errReader = std::thread([this, fd = errPipe[0]] { collect(fd, m_err); });
}

Process::~Process() {
  if (!m_status) {
    ::kill(m_pid, SIGKILL);
    wait(10s);
  }
  if (m_outReader.joinable()) {
    m_outReader.join();
  }
  if (m_errReader.joinable()) {
    m_errReader.join();
  }
}

void Process::collect(int fd, std::string& into) {
  char buf[4096];
  while (true) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      break;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    into.append(buf, static_cast<std::size_t>(n));
    m_changed.notify_all();
  }
  ::close(fd);
}

void Process::signal(int signo) {
  if (!m_status) {
    ::kill(m_pid, signo);
  }
}

std::optional<int> Process::wait(std::chrono::milliseconds timeout) {
  if (m_status) {
    return m_status;
  }
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (true) {
    int status = 0;
    pid_t r = ::waitpid(m_pid, &status, WNOHANG);
    if (r == m_pid) {
      m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      // Everything the process wrote is in the pipes; let the readers finish.
      if (m_outReader.joinable()) {
        m_outReader.join();
      }
      if (m_errReader.joinable()) {
        m_errReader.join();
      }
      return m_status;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      return std::nullopt;
    }
    std::this_thread::sleep_for(10ms);
  }
}

std::string Process::out() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_out;
}

std::string Process::err() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_err;
}

bool Process::waitForErr(const std::string& text, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(m_mutex);
  return m_changed.wait_for(lock, timeout, [&] { return m_err.find(text) != std::string::npos; });
}

bool waitForSocket(const std::string& path, std::chrono::milliseconds timeout) {
  return eventually(
      [&] {
        int fd = connectTo(path);
        if (fd < 0) {
          return false;
        }
        ::close(fd);
        return true;
      },
      timeout);
}

ControlClient::ControlClient(const std::string& path) : m_fd(connectTo(path)) {
  if (m_fd < 0) {
    throw std::runtime_error("cannot connect to " + path + ": " + std::strerror(errno));
  }
}

ControlClient::~ControlClient() {
  if (m_fd >= 0) {
    ::close(m_fd);
  }
}

void ControlClient::sendLine(const std::string& line) {
  std::string data = line + "\n";
  std::size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::send(m_fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      throw std::runtime_error(std::string("send failed: ") + std::strerror(errno));
    }
    done += static_cast<std::size_t>(n);
  }
}

std::optional<std::string> ControlClient::readLine(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (true) {
    std::string::size_type nl = m_buffer.find('\n');
    if (nl != std::string::npos) {
      std::string line = m_buffer.substr(0, nl);
      m_buffer.erase(0, nl + 1);
      return line;
    }
    if (m_eof) {
      return std::nullopt;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      return std::nullopt;
    }
    pollfd p{m_fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
      continue;
    }
    char buf[65536];
    ssize_t n = ::recv(m_fd, buf, sizeof buf, 0);
    if (n <= 0) {
      if (n < 0 && errno == EINTR) {
        continue;
      }
      m_eof = true;
      continue;
    }
    m_buffer.append(buf, static_cast<std::size_t>(n));
  }
}

std::optional<json> ControlClient::nextLine(std::chrono::milliseconds timeout) {
  std::optional<std::string> line = readLine(timeout);
  if (!line) {
    return std::nullopt;
  }
  return json::parse(*line);
}

json ControlClient::request(json request, std::chrono::milliseconds timeout) {
  const int id = m_nextId++;
  request["id"] = id;
  sendLine(request.dump());
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (true) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    std::optional<json> message = nextLine(std::max(left, 0ms));
    if (!message) {
      throw std::runtime_error("no reply to " + request.dump());
    }
    if (message->contains("ok") && message->value("id", -1) == id) {
      return *message;
    }
    m_events.push_back(*message);
  }
}

std::optional<json> ControlClient::nextEvent(std::chrono::milliseconds timeout) {
  if (!m_events.empty()) {
    json event = m_events.front();
    m_events.pop_front();
    return event;
  }
  return nextLine(timeout);
}

bool ControlClient::closedByHost(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (!readLine(10ms) && m_eof) {
      return true;
    }
  }
  return false;
}

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (true) {
    if (condition()) {
      return true;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      return false;
    }
    std::this_thread::sleep_for(10ms);
  }
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    out.push_back(line);
  }
  return out;
}

int lineIndex(const std::string& text, const std::string& line) {
  std::vector<std::string> all = lines(text);
  for (std::size_t i = 0; i < all.size(); ++i) {
    if (all[i] == line) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

}  // namespace standin_test
