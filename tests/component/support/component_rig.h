// The wheelchair component as a child process against the stand-in host,
// wired to a simulated board in the test process: a private folder, the
// process with its console, a control-socket client, and what the board saw.
#ifndef TOLVARINE_TESTS_COMPONENT_RIG_H
#define TOLVARINE_TESTS_COMPONENT_RIG_H

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <sys/types.h>

#include <tolvarine_control/client.h>

#include "child_process.h"
#include "temp_dir.h"
#include "tolvarine_board_sim/simulated_board.h"

namespace component_test {

using json = tolvarine_control::Json;
using Clock = std::chrono::steady_clock;
using tolvarine_board_sim::ReceivedFrame;
using tolvarine_board_sim::SimulatedBoard;
using namespace std::chrono_literals;

// Generous bounds for waits that end as soon as their condition holds.
constexpr std::chrono::milliseconds kPatience = 30s;
constexpr char kInstance[] = "TolvarineContorollerModule0";

// Polls `condition` until it holds or `timeout` passes.
bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout);

using tolvarine_tools::TempDir;

// The component executable started in `dir`; standard error goes to
// dir/stderr.log, or to `stderrFd`. Killed at destruction if still running.
class ComponentProcess {
 public:
  ComponentProcess(const std::string& dir, const std::vector<std::string>& args, int stderrFd = -1);
  ~ComponentProcess();
  std::string err() const;
  bool waitForErr(const std::string& text, std::chrono::milliseconds timeout,
                  std::size_t from = 0) const;
  void signal(int signo);
  // Exit status, or 128 + signal; nothing if still running after `timeout`.
  std::optional<int> wait(std::chrono::milliseconds timeout);
  // /proc/<pid>/fd entries and what they point to.
  std::vector<std::string> openFiles() const;

 private:
  std::string m_dir;
  tolvarine_tools::ChildProcess m_child;
};

// One connection to the host's control socket; a reader thread sorts the
// lines into replies (by "id") and events (samples, with arrival time). The
// reader owns the shared client; requests go out on a descriptor of their own.
class ControlClient {
 public:
  struct Event {
    Clock::time_point at;
    json body;
  };
  explicit ControlClient(const std::string& socketPath);
  ~ControlClient();
  // Fails the test when no reply comes.
  json request(json request, std::chrono::milliseconds timeout = kPatience);
  // For clients that expect the host to go away meanwhile.
  std::optional<json> tryRequest(json request, std::chrono::milliseconds timeout);
  std::vector<Event> events() const;
  bool waitForEvents(const std::function<bool(const std::vector<Event>&)>& condition,
                     std::chrono::milliseconds timeout) const;
  bool closed() const;

 private:
  void readLoop();
  tolvarine_control::Client m_connection;
  int m_sendFd = -1;
  int m_nextId = 1;
  std::atomic<bool> m_stop{false};
  mutable std::mutex m_mutex;
  mutable std::condition_variable m_changed;
  std::vector<json> m_replies;
  std::vector<Event> m_events;
  bool m_closed = false;
  std::thread m_reader;
};

std::vector<json> samplesOf(const std::vector<ControlClient::Event>& events,
                            const std::string& port);
// Every cycle published the pose, then the velocity, with one time stamp of
// this machine's monotonic millisecond tick; vy is 0, vx a path speed, id and
// error empty. Returns the number of cycles.
std::size_t expectWellFormedCycles(const std::vector<ControlClient::Event>& events);
// `text` without the host's own "rtm-standin: " lines.
std::string withoutHostLines(const std::string& text);

// The wheel bytes of a command frame: {left dir, right dir, left, right}.
struct WheelBytes {
  std::uint8_t leftDirection, rightDirection, leftSpeed, rightSpeed;
  bool operator==(const WheelBytes& o) const {
    return leftDirection == o.leftDirection && rightDirection == o.rightDirection &&
           leftSpeed == o.leftSpeed && rightSpeed == o.rightSpeed;
  }
  bool operator!=(const WheelBytes& o) const { return !(*this == o); }
};
WheelBytes wheelsOf(const ReceivedFrame& frame);
std::string describe(const ReceivedFrame& frame);
bool isStopCommand(const ReceivedFrame& frame);
// Frames at the start of `frames` that carry `wheels`.
std::size_t leadingFrames(const std::vector<ReceivedFrame>& frames, const WheelBytes& wheels);
// The next `frames` frames the board receives all hold the chair at rest:
// nothing written before drives it.
::testing::AssertionResult holdsAtRest(const SimulatedBoard& board, std::size_t frames);

class ComponentRig {
 public:
  ComponentRig();  // starts the board; its device is devicePath()
  ~ComponentRig();
  // Starts the component with rtc.conf lines for the component type (without
  // the "Category.TolvarineContorollerModule." prefix) at 100 Hz, and
  // connects a control client.
  void start(const std::vector<std::string>& componentKeys, int stderrFd = -1);

  TempDir& dir() { return m_dir; }
  SimulatedBoard& board() { return m_board; }
  const std::string& devicePath() const { return m_device; }
  std::string socketPath() const { return m_dir.file(std::string(kInstance) + ".sock"); }
  ComponentProcess& process() { return *m_process; }
  ControlClient& client() { return *m_client; }

  json request(const json& request) { return m_client->request(request); }
  std::string transition(const char* cmd);  // the result code, e.g. "RTC_OK"
  std::string state();                      // e.g. "ACTIVE"
  json set(const std::string& key, const std::string& value);
  json command(double vx, double vy, double va);

  // Waits until the board receives `expected`, then `hold` frames more that
  // all carry it.
  ::testing::AssertionResult settlesOn(const WheelBytes& expected, std::size_t hold = 8);
  // The device is closed and the last frame on the wire is the stop command.
  ::testing::AssertionResult releasedWithStop();

 private:
  TempDir m_dir;
  SimulatedBoard m_board;
  std::string m_device;
  std::unique_ptr<ComponentProcess> m_process;
  std::unique_ptr<ControlClient> m_client;
};

}  // namespace component_test

#endif  // TOLVARINE_TESTS_COMPONENT_RIG_H
