// Helpers of the stand-in's end-to-end tests: a private folder, a child
// process whose output lands in files there, and a control-socket client.
#ifndef RTM_STANDIN_TEST_SUPPORT_H
#define RTM_STANDIN_TEST_SUPPORT_H

#include <chrono>
#include <csignal>
#include <cstring>
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
#include <sys/wait.h>
#include <unistd.h>

#include <tolvarine_control/client.h>

namespace standin_test {

using json = tolvarine_control::Json;
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

inline bool waitForSocket(const std::string& path) {
  return eventually([&] {
    tolvarine_control::Client probe;
    return probe.connect(path, Ms(0), nullptr);
  });
}

// A control-socket client that fails loudly: every wait is bounded by kPatience.
class ControlClient {
 public:
  explicit ControlClient(const std::string& path) {
    std::string error;
    if (!m_client.connect(path, kPatience, &error)) {
      throw std::runtime_error(error);
    }
  }

  void sendLine(const std::string& line) {
    if (!m_client.sendLine(line)) {
      throw std::runtime_error("send failed");
    }
  }
  // The next line, or nothing on time-out or when the host closed.
  std::optional<json> nextLine() {
    json line;
    return m_client.nextLine(line, kPatience) == Read::kLine ? std::optional<json>(line)
                                                             : std::nullopt;
  }
  // Sends `request` with a fresh id and returns the reply carrying it;
  // events arriving meanwhile are kept for nextEvent().
  json request(json request) {
    json reply;
    std::string error;
    if (!m_client.request(request, reply, kPatience, &error)) {
      throw std::runtime_error("no reply to " + request.dump() + ": " + error);
    }
    return reply;
  }
  std::optional<json> nextEvent() {
    json event;
    return m_client.nextEvent(event, kPatience) == Read::kLine ? std::optional<json>(event)
                                                               : std::nullopt;
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
  using Read = tolvarine_control::Client::Read;
  tolvarine_control::Client m_client;
};

}  // namespace standin_test

#endif  // RTM_STANDIN_TEST_SUPPORT_H
