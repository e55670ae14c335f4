// Helpers of the stand-in's end-to-end tests: a private folder, a child
// process whose output lands in files there, and a control-socket client.
#ifndef RTM_STANDIN_TEST_SUPPORT_H
#define RTM_STANDIN_TEST_SUPPORT_H

#include <chrono>
#include <cstdio>
#include <functional>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <tolvarine_control/client.h>

#include "child_process.h"
#include "temp_dir.h"

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

struct TempDir : tolvarine_tools::TempDir {
  TempDir() : tolvarine_tools::TempDir("standin-test") {}
  const std::string path = tolvarine_tools::TempDir::path();
};

// A child process run in `dir`; its standard output and error go to
// <name>.out and <name>.err there.
class Process {
 public:
  Process(const std::vector<std::string>& argv, const TempDir& dir, const std::string& name)
      : m_dir(dir), m_name(name) {
    std::remove(dir.file(name + ".out").c_str());  // a fresh record of each run
    std::remove(dir.file(name + ".err").c_str());
    std::string error;
    if (!m_child.start(argv, dir.path, {dir.file(name + ".out"), dir.file(name + ".err"), -1},
                       &error)) {
      throw std::runtime_error(error);
    }
  }
  void signal(int signo) { m_child.signal(signo); }
  // The exit status (128 + the signal when killed), or nothing on time-out.
  std::optional<int> wait() {
    return m_child.waitFor(kPatience) ? std::optional<int>(m_child.shellStatus()) : std::nullopt;
  }
  std::string out() const { return m_dir.read(m_name + ".out"); }
  std::string err() const { return m_dir.read(m_name + ".err"); }
  bool waitForErr(const std::string& text) {
    return eventually([&] { return err().find(text) != std::string::npos; });
  }

 private:
  const TempDir& m_dir;
  std::string m_name;
  tolvarine_tools::ChildProcess m_child;
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
