// The wheelchair component as a child process against the stand-in host,
// wired to a simulated board in the test process, and what the board saw.
#ifndef TOLVARINE_TESTS_COMPONENT_RIG_H
#define TOLVARINE_TESTS_COMPONENT_RIG_H

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "board_frames.h"
#include "control_client.h"
#include "temp_dir.h"
#include "test_process.h"
#include "tolvarine_board_sim/simulated_board.h"

namespace component_test {

using namespace test_support;
using tolvarine_board_sim::ReceivedFrame;
using tolvarine_board_sim::SimulatedBoard;
using tolvarine_controller::testing_board::describe;
using tolvarine_controller::testing_board::isStopCommand;
using tolvarine_controller::testing_board::Wheels;
using tolvarine_controller::testing_board::wheelsOf;
using tolvarine_tools::TempDir;
constexpr char kInstance[] = "TolvarineContorollerModule0";

// /proc/<pid>/fd entries and what they point to.
std::vector<std::string> openFiles(pid_t pid);

// Every cycle published the pose, then the velocity, with one time stamp of
// this machine's monotonic millisecond tick; vy is 0, vx a path speed, id and
// error empty. Returns the number of cycles.
std::size_t expectWellFormedCycles(const std::vector<ControlClient::Event>& events);
// `text` without the host's own "rtm-standin: " lines.
std::string withoutHostLines(const std::string& text);

// The valid frames the board received from the `first`-th on.
std::vector<ReceivedFrame> validFramesFrom(const SimulatedBoard& board, std::size_t first);
// Frames at the start of `frames` that carry `wheels`.
std::size_t leadingFrames(const std::vector<ReceivedFrame>& frames, const Wheels& wheels);
// Frames whose wheel speeds exceed those of the frame before.
std::size_t speedUps(const std::vector<ReceivedFrame>& frames);
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
  TestProcess& process() { return *m_process; }
  ControlClient& client() { return *m_client; }

  json request(const json& request) { return m_client->request(request); }
  std::string transition(const char* cmd);  // the result code, e.g. "RTC_OK"
  std::string state();                      // e.g. "ACTIVE"
  json set(const std::string& key, const std::string& value);
  json command(double vx, double vy, double va);
  bool subscribe() {
    return request({{"cmd", "subscribe"}, {"ports", {"OdmetoryOut", "VelocityOut"}}})
        .value("ok", false);
  }

  // Waits until the board receives `expected`, then `hold` frames more that
  // all carry it.
  ::testing::AssertionResult settlesOn(const Wheels& expected, std::size_t hold = 8);
  // The device is closed and the last frame on the wire is the stop command.
  ::testing::AssertionResult releasedWithStop();

 private:
  TempDir m_dir;
  SimulatedBoard m_board;
  std::string m_device;
  std::unique_ptr<TestProcess> m_process;
  std::unique_ptr<ControlClient> m_client;
};

}  // namespace component_test

#endif  // TOLVARINE_TESTS_COMPONENT_RIG_H
