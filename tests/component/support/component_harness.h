// Running the wheelchair component as a child process and talking to it:
// a private folder per test, the process with its console in files, and a
// client of the host's control socket.
#ifndef TOLVARINE_TESTS_COMPONENT_HARNESS_H
#define TOLVARINE_TESTS_COMPONENT_HARNESS_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <sys/types.h>

#include <nlohmann/json.hpp>

namespace component_test {

using json = nlohmann::ordered_json;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Bounds for waits on a loaded machine (sanitizer builds run several times
// slower); every wait ends as soon as its condition holds.
constexpr std::chrono::milliseconds kStartTimeout = 30s;
constexpr std::chrono::milliseconds kTransitionTimeout = 60s;
constexpr std::chrono::milliseconds kExitTimeout = 30s;

// A folder under $TMPDIR (or /tmp), removed with its contents at destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string& path() const { return m_path; }
  std::string file(const std::string& name) const { return m_path + "/" + name; }
  void write(const std::string& name, const std::string& content) const;

  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

 private:
  std::string m_path;
};

// The component executable, started in `dir` with `args`; its standard
// output and error go to dir/stdout.log and dir/stderr.log, or standard
// error to `stderrFd` when one is given. Killed and reaped at destruction if
// it still runs.
class ComponentProcess {
 public:
  ComponentProcess(const std::string& dir, const std::vector<std::string>& args, int stderrFd = -1);
  ~ComponentProcess();

  pid_t pid() const { return m_pid; }
  const std::string& dir() const { return m_dir; }
  // Everything written to standard error so far.
  std::string err() const;
  // Waits until standard error, from byte `from` on, contains `text`.
  bool waitForErr(const std::string& text, std::chrono::milliseconds timeout,
                  std::size_t from = 0) const;
  void signal(int signo);
  // The exit code, or 128 + the signal number when a signal ended it;
  // nothing when it still runs after `timeout`.
  std::optional<int> wait(std::chrono::milliseconds timeout);
  bool exited() const { return m_status.has_value(); }
  // Open file descriptors of the process: /proc/<pid>/fd entries and
  // what they refer to.
  std::vector<std::string> openFiles() const;

  ComponentProcess(const ComponentProcess&) = delete;
  ComponentProcess& operator=(const ComponentProcess&) = delete;

 private:
  std::string m_dir;
  pid_t m_pid = -1;
  std::optional<int> m_status;
};

// One connection to the host's control socket. A reader thread collects
// every line; replies are matched to requests by their "id", sample events
// are kept with their arrival time.
class ControlClient {
 public:
  struct Event {
    Clock::time_point at;
    json body;
  };

  explicit ControlClient(const std::string& socketPath);
  ~ControlClient();

  // Sends `request` with a fresh "id"; returns the reply (fails the test and
  // returns an empty object on time-out).
  json request(json request, std::chrono::milliseconds timeout = kTransitionTimeout);
  // The same, for clients that expect the host to go away: nothing on
  // time-out or when the connection closes.
  std::optional<json> tryRequest(json request, std::chrono::milliseconds timeout);
  // Events received so far (samples, notices), oldest first.
  std::vector<Event> events() const;
  std::size_t eventCount() const;
  // Waits until `condition` holds for the events received so far.
  bool waitForEvents(const std::function<bool(const std::vector<Event>&)>& condition,
                     std::chrono::milliseconds timeout) const;
  // True once the host has closed the connection.
  bool closed() const;
  bool waitClosed(std::chrono::milliseconds timeout) const;

  ControlClient(const ControlClient&) = delete;
  ControlClient& operator=(const ControlClient&) = delete;

 private:
  void readLoop();

  int m_fd = -1;
  int m_wakePipe[2] = {-1, -1};
  int m_nextId = 1;
  mutable std::mutex m_mutex;
  mutable std::condition_variable m_changed;
  std::deque<json> m_replies;
  std::vector<Event> m_events;
  bool m_closed = false;
  std::thread m_reader;
};

// Polls `condition` (every few milliseconds) until it holds or `timeout` passes.
bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout);

// Waits until something accepts connections on the UNIX socket `path`.
bool waitForSocket(const std::string& path, std::chrono::milliseconds timeout);

// `text` without the host's own lines (those starting "rtm-standin: ").
std::string withoutHostLines(const std::string& text);

// The samples of one out-port among `events`, oldest first.
std::vector<json> samplesOf(const std::vector<ControlClient::Event>& events,
                            const std::string& port);

// The monotonic millisecond tick of this machine, modulo 2^32.
std::uint32_t monotonicTickMs();

}  // namespace component_test

#endif  // TOLVARINE_TESTS_COMPONENT_HARNESS_H
