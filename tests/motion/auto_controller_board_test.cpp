// The automatic controller's control thread, seen from the simulated board:
// every expectation is read off the frames the board received.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "board_helpers.h"
#include "test_access.h"

namespace tolvarine_controller {
namespace {

using namespace testing_board;
using namespace std::chrono_literals;

constexpr int kForward = -1;
constexpr int kReversed = 1;
constexpr double kDefaultStep = 20.999999999999996;  // 0.7 m/s^2 over one 30 ms cycle, mm/s

// Checks the frames of a ramp: from `start` on, one frame per control cycle
// following `cycles`, then `hold` more frames at the last value. All of them
// carry no rest mark.
void expectRamp(const std::vector<Command>& commands, std::size_t start,
                const std::vector<WheelPair>& cycles, std::size_t hold, int direction) {
  ASSERT_GE(commands.size(), start + cycles.size() + hold);
  for (std::size_t k = 0; k < cycles.size() + hold; ++k) {
    const WheelPair& w = cycles[k < cycles.size() ? k : cycles.size() - 1];
    const Command expected = expectedWheels(w.right, w.left, direction);
    const Command& seen = commands[start + k];
    EXPECT_TRUE(seen.sameWheels(expected))
        << "cycle " << k + 1 << " (right " << w.right << ", left " << w.left << " mm/s): sent "
        << describe(seen) << ", expected " << describe(expected);
    if (w.right != 0 || w.left != 0) {
      EXPECT_EQ(seen.option5, kNoRestMark) << "cycle " << k + 1;
    }
  }
}

// At rest from the first zero-command cycle `start` on: five cycles without
// the mark, then the mark in every cycle.
void expectRestMark(const std::vector<Command>& commands, std::size_t start, std::size_t cycles,
                    int direction) {
  ASSERT_GE(commands.size(), start + cycles);
  const Command zero = expectedWheels(0.0, 0.0, direction);
  for (std::size_t k = 0; k < cycles; ++k) {
    const Command& seen = commands[start + k];
    EXPECT_TRUE(seen.sameWheels(zero)) << "rest cycle " << k + 1 << ": " << describe(seen);
    EXPECT_EQ(seen.option5, k < 5 ? kNoRestMark : kRestMark) << "rest cycle " << k + 1;
  }
}

// The first control cycle after the thread starts is the first frame that is
// not the link's own stop command.
std::size_t firstControlFrame(const std::vector<Command>& commands) {
  for (std::size_t i = 0; i < commands.size(); ++i) {
    if (!commands[i].isStopCommand()) {
      return i;
    }
  }
  return commands.size();
}

bool waitForLinkState(const Controller& controller, LinkState state) {
  const auto until = std::chrono::steady_clock::now() + 2s;
  while (controller.getLinkState() != state && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(5ms);
  }
  return controller.getLinkState() == state;
}

// One connected controller for the whole sequence: the handshake and the
// settling pause take over two seconds.
TEST(AutoControllerOnBoard, RampsRestMarkReversalAndRestart) {
  SimulatedBoard board;
  ASSERT_TRUE(startBoard(board));
  InspectableAutoController controller;
  FrameReader reader(board);

  const auto initStart = std::chrono::steady_clock::now();
  ASSERT_TRUE(controller.initialize(board.devicePath(), kForward));
  const auto initTook = std::chrono::steady_clock::now() - initStart;
  EXPECT_GE(initTook, 2000ms) << "the settling pause is missing";
  EXPECT_TRUE(AutoControllerTestPeer::hasControlThread(controller));

  {
    SCOPED_TRACE("rest mark from the start of the control thread");
    // Until the thread starts the link sends its own stop command.
    std::vector<Command> commands = reader.waitFor(20, 5s);
    std::size_t first = firstControlFrame(commands);
    commands = reader.waitFor(first + 9, 2s);
    ASSERT_GT(first, 0u) << "the settling pause sent no stop commands";
    for (std::size_t i = 0; i < first; ++i) {
      EXPECT_TRUE(commands[i].isStopCommand());
      EXPECT_EQ(commands[i].option5, kNoRestMark);
    }
    expectRestMark(commands, first, 9, kForward);
  }

  {
    SCOPED_TRACE("right wheel from rest to 0.5 m/s");
    reader.skipToEnd();
    // Repeated through the ramp, as a component's execution loop does: each
    // call re-plans the frame waiting to go out, still one step from the
    // last frame written.
    for (int i = 0; i < 100; ++i) {
      controller.setSendDataVRL(0.5, 0.0);
      std::this_thread::sleep_for(7ms);
    }
    const std::vector<WheelPair> cycles = rampCycles({0, 0}, {500, 0}, kDefaultStep);
    ASSERT_EQ(cycles.size(), 24u);  // 23 steps of 21 mm/s, then the landing
    EXPECT_EQ(cycles[0].right, 20.999999999999996);
    EXPECT_EQ(cycles[1].right, 41.99999999999999);
    EXPECT_EQ(cycles[22].right, 482.99999999999994);
    EXPECT_EQ(cycles[23].right, 500.0);

    std::vector<Command> commands = reader.waitFor(5, 2s);
    const std::size_t start = firstChange(commands, expectedWheels(0, 0, kForward));
    commands = reader.waitFor(start + cycles.size() + 5, 3s);
    for (std::size_t i = 0; i < start; ++i) {
      EXPECT_EQ(commands[i].option5, kRestMark) << "still at rest before the target is seen";
    }
    // The cycle that first sees the target drops the rest mark at once.
    EXPECT_EQ(commands[start].option5, kNoRestMark);
    expectRamp(commands, start, cycles, 5, kForward);
  }

  {
    SCOPED_TRACE("reversal from +0.5 to -0.5 m/s straight through zero");
    reader.skipToEnd();
    controller.setSendDataVRL(-0.5, 0.0);
    const std::vector<WheelPair> cycles = rampCycles({500, 0}, {-500, 0}, kDefaultStep);
    ASSERT_EQ(cycles.size(), 48u);
    std::vector<Command> commands = reader.waitFor(5, 2s);
    const std::size_t start = firstChange(commands, expectedWheels(500, 0, kForward));
    commands = reader.waitFor(start + cycles.size() + 3, 4s);
    expectRamp(commands, start, cycles, 3, kForward);
  }

  {
    SCOPED_TRACE("stop: the rest count starts once both commands are at 0");
    reader.skipToEnd();
    controller.setSendDataVRL(0.0, 0.0);
    const std::vector<WheelPair> cycles = rampCycles({-500, 0}, {0, 0}, kDefaultStep);
    ASSERT_EQ(cycles.size(), 24u);
    std::vector<Command> commands = reader.waitFor(5, 2s);
    const std::size_t start = firstChange(commands, expectedWheels(-500, 0, kForward));
    commands = reader.waitFor(start + cycles.size() + 8, 3s);
    // Up to the cycle before the landing the commands are not zero.
    std::vector<WheelPair> moving(cycles.begin(), cycles.end() - 1);
    expectRamp(commands, start, moving, 0, kForward);
    expectRestMark(commands, start + moving.size(), 8, kForward);
  }

  {
    SCOPED_TRACE("radius and speed: 1 m to the left at 0.5 m/s");
    reader.skipToEnd();
    controller.setSendDataRV(1.0, 0.5);
    // Targets 637.2 and 362.8 mm/s.
    const std::vector<WheelPair> cycles = rampCycles({0, 0}, {637.2, 362.8}, kDefaultStep);
    ASSERT_EQ(cycles.size(), 31u);
    std::vector<Command> commands = reader.waitFor(5, 2s);
    const std::size_t start = firstChange(commands, expectedWheels(0, 0, kForward));
    commands = reader.waitFor(start + cycles.size() + 3, 3s);
    expectRamp(commands, start, cycles, 3, kForward);
    // The converter's worked example: 78 counts forward, 46 counts.
    const Command& settled = commands[start + cycles.size()];
    EXPECT_EQ(settled.rightDirection, kForwardByte);
    EXPECT_EQ(settled.rightSpeed, 78);
    EXPECT_EQ(settled.leftDirection, kBackwardByte);
    EXPECT_EQ(settled.leftSpeed, 46);
  }

  {
    SCOPED_TRACE("a target set while the link is lost never reaches a frame");
    board.setSilent(true);
    ASSERT_TRUE(waitForLinkState(controller, LinkState::Lost));
    reader.skipToEnd();
    controller.setSendDataVRL(0.8, 0.8);
    // Down from 637.2 mm/s takes 31 cycles; not one frame may speed up.
    const std::vector<Command> commands = reader.waitFor(35, 3s);
    Command previous = expectedWheels(637.2, 362.8, kForward);
    for (std::size_t i = 0; i < commands.size(); ++i) {
      EXPECT_LE(commands[i].rightSpeed, previous.rightSpeed) << "frame " << i;
      EXPECT_LE(commands[i].leftSpeed, previous.leftSpeed) << "frame " << i;
      previous = commands[i];
    }
    // Back: the target was dropped, the chair stays at rest.
    board.resumeAnswering();
    ASSERT_TRUE(waitForLinkState(controller, LinkState::Connected));
    reader.skipToEnd();
    for (const Command& c : reader.waitFor(5, 2s)) {
      EXPECT_TRUE(c.sameWheels(expectedWheels(0, 0, kForward))) << describe(c);
    }
  }

  {
    SCOPED_TRACE("a second initialize changes nothing");
    Connector* const link = controller.connectorPtr();
    const std::size_t threads = threadCount();
    testing::internal::CaptureStderr();
    EXPECT_FALSE(controller.initialize(board.devicePath(), kForward));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_TRUE(controller.isInitialized());
    EXPECT_EQ(controller.connectorPtr(), link);
    EXPECT_EQ(threadCount(), threads) << "a second link or control thread was started";
    EXPECT_TRUE(AutoControllerTestPeer::hasControlThread(controller));
  }

  {
    SCOPED_TRACE("finalize stops the thread and closes the link");
    controller.setSendDataVRL(0.3, 0.3);
    const std::size_t since = board.frameCount();
    ASSERT_TRUE(board.waitForFrames(board.validFrameCount() + 3, 1s));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(controller.finalize());
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, 500ms);
    EXPECT_TRUE(controller.allReleased());
    EXPECT_FALSE(controller.isInitialized());
    EXPECT_FALSE(AutoControllerTestPeer::hasControlThread(controller));
    EXPECT_FALSE(AutoControllerTestPeer::threadRunning(controller));
    expectQuietAfterClose(board, since);
    EXPECT_TRUE(controller.finalize());
  }

  {
    SCOPED_TRACE("re-initialise: targets set meanwhile are ramped toward from 0");
    // The target of 0.3 m/s set before finalize is still there.
    reader.skipToEnd();
    ASSERT_TRUE(controller.initialize(board.devicePath(), kForward));
    std::vector<Command> commands = reader.waitFor(5, 5s);
    std::size_t first = firstControlFrame(commands);
    const std::vector<WheelPair> cycles = rampCycles({0, 0}, {300, 300}, kDefaultStep);
    commands = reader.waitFor(first + cycles.size() + 2, 5s);
    expectRamp(commands, first, cycles, 2, kForward);
  }
}

// The clamp to the wheel limits only shows in the bytes once the command
// comes back from the limit, so a large acceleration (30 m/s per cycle) is
// used; the reversed mounting flips the signs of both wheels.
TEST(AutoControllerOnBoard, LimitsAndTheRampBackFromThem) {
  SimulatedBoard board;
  ASSERT_TRUE(startBoard(board));
  AutoController controller(1000.0);
  FrameReader reader(board);
  ASSERT_TRUE(controller.initialize(board.devicePath(), kReversed));

  {
    SCOPED_TRACE("rest mark from the start, reversed mounting");
    std::vector<Command> commands = reader.waitFor(20, 5s);
    const std::size_t first = firstControlFrame(commands);
    commands = reader.waitFor(first + 7, 2s);
    expectRestMark(commands, first, 7, kReversed);
  }

  {
    SCOPED_TRACE("beyond the limits");
    reader.skipToEnd();
    controller.setSendDataVRL(100.0, -100.0);
    std::vector<Command> commands = reader.waitFor(5, 2s);
    const std::size_t start = firstChange(commands, expectedWheels(0, 0, kReversed));
    commands = reader.waitFor(start + 6, 2s);
    // 30 m/s, then the limits; either way the speed bytes are full.
    for (std::size_t k = 0; k < 6; ++k) {
      const Command& c = commands[start + k];
      EXPECT_EQ(c.rightDirection, kBackwardByte) << k;  // right forward is negative here
      EXPECT_EQ(c.rightSpeed, 255) << k;
      EXPECT_EQ(c.leftDirection, kBackwardByte) << k;  // left backward is negative here
      EXPECT_EQ(c.leftSpeed, 255) << k;
    }
  }

  {
    SCOPED_TRACE("back from the limits");
    reader.skipToEnd();
    controller.setSendDataVRL(0.0, 0.0);
    std::vector<Command> commands = reader.waitFor(5, 2s);
    // The stop may already shape the first frame after the call.
    std::size_t start = 0;
    while (start < commands.size() && commands[start].rightSpeed == 255) {
      ++start;
    }
    commands = reader.waitFor(start + 8, 2s);
    // The commands stood at the limits (about 2.07 and 2.05 m/s), not at the
    // 100 m/s asked for, so one step of 30000 mm/s lands on 0 at once.
    EXPECT_TRUE(commands[start].sameWheels(expectedWheels(0, 0, kReversed)));
    expectRestMark(commands, start, 7, kReversed);
  }

  {
    SCOPED_TRACE("reversed mounting, slow forward");
    reader.skipToEnd();
    controller.setSendDataVRL(0.1, 0.1);
    std::vector<Command> commands = reader.waitFor(5, 2s);
    const std::size_t start = firstChange(commands, expectedWheels(0, 0, kReversed));
    commands = reader.waitFor(start + 2, 2s);
    // Right -0.1 m/s * 123.29 = -12.3 -> 13 backward; left 12.4 -> 12 forward.
    EXPECT_EQ(commands[start].rightDirection, kBackwardByte);
    EXPECT_EQ(commands[start].rightSpeed, 13);
    EXPECT_EQ(commands[start].leftDirection, kForwardByte);
    EXPECT_EQ(commands[start].leftSpeed, 12);
  }
}

// Destroying a running controller: the control thread ends within about one
// link cycle, the link sends its stop command last, and nothing reaches the
// board after the port is closed.
TEST(AutoControllerOnBoard, DestroyingARunningJoystickControllerStopsCleanly) {
  SimulatedBoard board;
  ASSERT_TRUE(startBoard(board));
  FrameReader reader(board);
  auto* controller = new JoyStickController();
  ASSERT_TRUE(controller->initialize(board.devicePath(), kForward));

  // Straight ahead at full deflection: both wheels toward 0.5 m/s.
  reader.skipToEnd();
  controller->setSendDataXY(0.0, 1.0);
  std::vector<Command> commands = reader.waitFor(5, 2s);
  const std::size_t start = firstChange(commands, expectedWheels(0, 0, kForward));
  const std::vector<WheelPair> cycles = rampCycles({0, 0}, {500, 500}, kDefaultStep);
  commands = reader.waitFor(start + 10, 2s);
  expectRamp(commands, start, std::vector<WheelPair>(cycles.begin(), cycles.begin() + 10), 0,
             kForward);

  const std::size_t since = board.frameCount() - 1;  // a control command
  const auto destroyStart = std::chrono::steady_clock::now();
  delete controller;
  const auto destroyed = std::chrono::steady_clock::now();
  const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(destroyed - destroyStart);
  std::cout << "destroying a running controller took " << took.count() << " ms" << std::endl;
  // Two link cycles at most in theory (the control thread's last send, then
  // the link's last cycle and its stop frame); generous for loaded machines.
  EXPECT_LT(took, 500ms);

  expectQuietAfterClose(board, since);
}

}  // namespace
}  // namespace tolvarine_controller
