// Helpers of the stand-in's end-to-end tests: a private folder, a child
// process whose output lands in files there, and a control-socket client.
#ifndef RTM_STANDIN_TEST_SUPPORT_H
#define RTM_STANDIN_TEST_SUPPORT_H

#include <chrono>
#include <csignal>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

namespace standin_test {

using json = nlohmann::ordered_json;
using namespace std::chrono_literals;
using Ms = std::chrono::milliseconds;

// How long anything that must happen may take on a loaded machine.
constexpr Ms kPatience = Ms(30000 * TOLVARINE_TEST_TIME_SCALE);

inline bool eventually(const std::function<bool()>& condition) {
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  for (; !condition(); std::this_thread::sleep_for(5ms)) {
    if (std::chrono::steady_clock::now() >= deadline) {
      return false;
    }
  }
  return true;
}

struct TempDir {
  const std::string path = [] {
    char pattern[] = "/tmp/standin-test-XXXXXX";
    return std::string(::mkdtemp(pattern) != nullptr ? pattern : "/nonexistent");
  }();
  ~TempDir() { std::filesystem::remove_all(path); }
  std::string file(const std::string& name) const { return path + "/" + name; }
  void write(const std::string& name, const std::string& text) const {
    std::ofstream(file(name)) << text;
  }
  std::string read(const std::string& name) const {
    std::ostringstream text;
    text << std::ifstream(file(name)).rdbuf();
    return text.str();
  }
};

// A child process run in `dir`; its standard output and error go to
// <name>.out and <name>.err there.
class Process {
 public:
  Process(const std::vector<std::string>& argv, const TempDir& dir, const std::string& name)
      : m_dir(dir), m_name(name) {
    const std::string out = dir.file(name + ".out");
    const std::string err = dir.file(name + ".err");
    m_pid = ::fork();
    if (m_pid == 0) {
      std::vector<char*> args;
      for (const std::string& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
      }
      args.push_back(nullptr);
      const int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      const int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      if (o < 0 || e < 0 || ::dup2(o, 1) < 0 || ::dup2(e, 2) < 0 || ::chdir(dir.path.c_str())) {
        ::_exit(126);
      }
      ::execv(args[0], args.data());
      ::_exit(127);
    }
  }
  ~Process() {
    if (!m_status) {
      ::kill(m_pid, SIGKILL);
      wait();
    }
  }
  void signal(int signo) { ::kill(m_pid, signo); }
  // The exit status (128 + the signal when killed), or nothing on time-out.
  std::optional<int> wait() {
    eventually([this] {
      int status = 0;
      if (!m_status && ::waitpid(m_pid, &status, WNOHANG) == m_pid) {
        m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      return m_status.has_value();
    });
    return m_status;
  }
  std::string out() const { return m_dir.read(m_name + ".out"); }
  std::string err() const { return m_dir.read(m_name + ".err"); }
  bool waitForErr(const std::string& text) {
    return eventually([&] { return err().find(text) != std::string::npos; });
  }

 private:
  const TempDir& m_dir;
  std::string m_name;
  pid_t m_pid = -1;
  std::optional<int> m_status;
};

// The number of the first line of `text` from line `from` on that starts
// with `prefix`, or -1 (also when `from` is -1).
inline int lineOf(const std::string& text, const std::string& prefix, int from = 0) {
  std::istringstream in(text);
  std::string line;
  for (int n = 0; from >= 0 && std::getline(in, line); ++n) {
    if (n >= from && line.compare(0, prefix.size(), prefix) == 0) {
      return n;
    }
  }
  return -1;
}

inline int connectTo(const std::string& path) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

inline bool waitForSocket(const std::string& path) {
  return eventually([&] {
    const int fd = connectTo(path);
    return fd >= 0 && ::close(fd) == 0;
  });
}

class ControlClient {
 public:
  explicit ControlClient(const std::string& path) : m_fd(connectTo(path)) {
    if (m_fd < 0) {
      throw std::runtime_error("cannot connect to " + path);
    }
  }
  ~ControlClient() { ::close(m_fd); }

  void sendLine(const std::string& line) {
    const std::string data = line + "\n";  // a blocking send sends it all
    if (::send(m_fd, data.data(), data.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(data.size())) {
      throw std::runtime_error("send failed");
    }
  }
  // The next line, or nothing on time-out or when the host closed.
  std::optional<json> nextLine() {
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    for (std::size_t nl; (nl = m_buffer.find('\n')) == std::string::npos;) {
      const auto left = std::chrono::duration_cast<Ms>(deadline - std::chrono::steady_clock::now());
      pollfd p{m_fd, POLLIN, 0};
      if (m_closed || left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
        return std::nullopt;
      }
      char buf[65536];
      const ssize_t n = ::recv(m_fd, buf, sizeof buf, 0);
      m_closed = n <= 0;
      m_buffer.append(buf, n > 0 ? static_cast<std::size_t>(n) : 0);
    }
    const std::size_t nl = m_buffer.find('\n');
    json line = json::parse(m_buffer.substr(0, nl));
    m_buffer.erase(0, nl + 1);
    return line;
  }
  // Sends `request` with a fresh id and returns the reply carrying it;
  // events arriving meanwhile are kept for nextEvent().
  json request(json request) {
    const int id = ++m_lastId;
    request["id"] = id;
    sendLine(request.dump());
    while (std::optional<json> line = nextLine()) {
      if (line->contains("ok") && line->value("id", -1) == id) {
        return *line;
      }
      m_events.push_back(*line);
    }
    throw std::runtime_error("no reply to " + request.dump());
  }
  std::optional<json> nextEvent() {
    std::optional<json> event = m_events.empty() ? nextLine() : m_events.front();
    if (!m_events.empty()) {
      m_events.pop_front();
    }
    return event;
  }
  // The next sample of `port`, skipping other events.
  std::optional<json> nextSample(const std::string& port) {
    while (std::optional<json> event = nextEvent()) {
      if (event->value("event", "") == "sample" && event->value("port", "") == port) {
        return (*event)["sample"];
      }
    }
    return std::nullopt;
  }

 private:
  int m_fd;
  int m_lastId = 0;
  bool m_closed = false;
  std::string m_buffer;
  std::deque<json> m_events;
};

}  // namespace standin_test

#endif  // RTM_STANDIN_TEST_SUPPORT_H
