// One wheelchair component process wired to a simulated board in the test
// process: the board's device behind a symlink in a private folder, the
// component configured through an rtc.conf there, and a control client.
#ifndef TOLVARINE_TESTS_COMPONENT_RIG_H
#define TOLVARINE_TESTS_COMPONENT_RIG_H

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "component_harness.h"
#include "tolvarine_board_sim/simulated_board.h"

namespace component_test {

using tolvarine_board_sim::ReceivedFrame;
using tolvarine_board_sim::SimulatedBoard;

constexpr char kInstance[] = "TolvarineContorollerModule0";
// UTF-8 on this platform.
constexpr char kConnectionComLabel[] =
    "* \xe6\x8e\xa5\xe7\xb6\x9a"
    "COM:";
constexpr char kThetaLabel[] = "\xce\xb8:";

// The wheel bytes of a command frame (bytes 1 to 4) and its rest-mark byte 9.
struct WheelBytes {
  std::uint8_t leftDirection;
  std::uint8_t rightDirection;
  std::uint8_t leftSpeed;
  std::uint8_t rightSpeed;

  bool operator==(const WheelBytes& o) const {
    return leftDirection == o.leftDirection && rightDirection == o.rightDirection &&
           leftSpeed == o.leftSpeed && rightSpeed == o.rightSpeed;
  }
  bool operator!=(const WheelBytes& o) const { return !(*this == o); }
};

WheelBytes wheelsOf(const ReceivedFrame& frame);
std::string describe(const WheelBytes& w);
std::string describe(const ReceivedFrame& frame);
// Bytes 1 to 9 of the stop command: both wheels 0x30 with speed 0, then the
// fixed bytes CC 1A 1A 64 FF.
bool isStopCommand(const ReceivedFrame& frame);

class ComponentRig {
 public:
  // Starts the board and makes its device reachable as `devicePath()`.
  ComponentRig();
  ~ComponentRig();

  TempDir& dir() { return m_dir; }
  SimulatedBoard& board() { return *m_board; }
  const std::string& devicePath() const { return m_device; }
  std::string socketPath() const { return m_dir.file(std::string(kInstance) + ".sock"); }

  // Starts the component with these rtc.conf lines (the component type's own
  // keys without the "Category.TolvarineContorollerModule." prefix; a rate
  // of 100 Hz unless given) and connects a control client. Its standard
  // error goes to `stderrFd` when one is given.
  void start(const std::vector<std::string>& componentKeys, int stderrFd = -1);
  ComponentProcess& process() { return *m_process; }
  ControlClient& client() { return *m_client; }

  json request(const json& request) { return m_client->request(request); }
  json activate() { return request({{"cmd", "activate"}}); }
  json deactivate() { return request({{"cmd", "deactivate"}}); }
  json reset() { return request({{"cmd", "reset"}}); }
  json set(const std::string& key, const std::string& value) {
    return request({{"cmd", "set"}, {"key", key}, {"value", value}});
  }
  // One velocity command on "VelocityIn".
  json command(double vx, double vy, double va);
  json subscribe(const std::vector<std::string>& ports) {
    return request({{"cmd", "subscribe"}, {"ports", ports}});
  }

  // Waits until the board receives a frame with `expected` wheels, then
  // until `hold` further frames, all of which must carry it too.
  ::testing::AssertionResult settlesOn(const WheelBytes& expected, std::size_t hold = 8);
  // Waits for the component to have left the board: device closed and the
  // last frame received.
  ::testing::AssertionResult boardReleased();
  // The last frame the board received is the stop command.
  ::testing::AssertionResult lastFrameIsStop();

  // Stops the component (SIGKILL) and drops the client.
  void kill();

 private:
  TempDir m_dir;
  std::unique_ptr<SimulatedBoard> m_board;
  std::string m_device;
  std::unique_ptr<ComponentProcess> m_process;
  std::unique_ptr<ControlClient> m_client;
};

}  // namespace component_test

#endif  // TOLVARINE_TESTS_COMPONENT_RIG_H
