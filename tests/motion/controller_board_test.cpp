// The base controller against the simulated board: bringing the link up and
// down, its direct commands, and the odometry operations.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "board_helpers.h"
#include "test_access.h"

namespace tolvarine_controller {
namespace {

using namespace testing_board;
using namespace std::chrono_literals;

constexpr int kForward = -1;

// Sends through `send` and checks that the board receives `expected` from the
// next transmission on (one frame with the previous command may still be on
// its way).
template <class Send>
void expectSent(SimulatedBoard& board, Send send, const Command& expected, const char* what) {
  SCOPED_TRACE(what);
  FrameReader reader(board);
  send();
  const std::vector<Command> commands = reader.waitFor(4, 2s);
  ASSERT_GE(commands.size(), 4u);
  const std::size_t first = commands[0].sameWheels(expected) ? 0 : 1;
  for (std::size_t i = first; i < commands.size(); ++i) {
    EXPECT_TRUE(commands[i].sameWheels(expected))
        << "frame " << i << ": " << describe(commands[i]) << ", expected " << describe(expected);
    EXPECT_EQ(commands[i].option5, expected.option5) << "frame " << i;
  }
}

void expectSameTotal(const Odometory& a, const Odometory& b) {
  EXPECT_EQ(a.total.x, b.total.x);
  EXPECT_EQ(a.total.y, b.total.y);
  EXPECT_EQ(a.total.theta, b.total.theta);
  EXPECT_EQ(a.total.time, b.total.time);
  EXPECT_EQ(a.total.distance, b.total.distance);
}

void expectZeroStep(const Odometory& o) {
  EXPECT_EQ(o.step.x, 0.0);
  EXPECT_EQ(o.step.y, 0.0);
  EXPECT_EQ(o.step.theta, 0.0);
  EXPECT_EQ(o.step.time, 0.0);
  EXPECT_EQ(o.step.distance, 0.0);
}

TEST(ControllerOnBoard, LifecycleCommandsAndOdometry) {
  SimulatedBoard board;
  ASSERT_TRUE(startBoard(board));
  InspectableController controller;
  EXPECT_FALSE(controller.isInitialized());

  // A pose set before the link exists belongs to the controller.
  controller.initRobotPose(1.0, 2.0, 0.5);

  testing::internal::CaptureStderr();
  const auto initStart = std::chrono::steady_clock::now();
  const bool ok = controller.initialize(board.devicePath(), kForward);
  const auto initTook = std::chrono::steady_clock::now() - initStart;
  const std::string printed = testing::internal::GetCapturedStderr();
  ASSERT_TRUE(ok) << printed;
  EXPECT_EQ(printed, "wait for wheel chair...\nwheel chir connect success\n");
  EXPECT_GE(initTook, 2000ms);
  EXPECT_TRUE(controller.isInitialized());
  EXPECT_TRUE(controller.allOwned());
  EXPECT_EQ(controller.sendConverterPtr()->direction, kForward);
  EXPECT_EQ(controller.receiveConverterPtr()->direction, kForward);

  {
    SCOPED_TRACE("the pose survives initialize");
    const Odometory o = controller.getOdometory();
    EXPECT_EQ(o.total.x, 1.0);
    EXPECT_EQ(o.total.y, 2.0);
    EXPECT_EQ(o.total.theta, 0.5);
  }

  {
    SCOPED_TRACE("the first renewal takes every frame since the link started");
    const Odometory o = controller.renewOdometory(false);
    // The 2 s settling pause was answered frame by frame; nothing moved.
    EXPECT_GE(o.step.time, 1.9);
    EXPECT_LT(o.step.time, 10.0);
    EXPECT_EQ(o.total.time, o.step.time);
    EXPECT_EQ(o.step.distance, 0.0);
    EXPECT_EQ(o.total.x, 1.0);
    EXPECT_EQ(controller.getStepWheelStatus().time, o.step.time);
    EXPECT_EQ(controller.getTotalWheelStatus().time, o.step.time);
  }

  {
    SCOPED_TRACE("a second initialize changes nothing");
    Connector* const link = controller.connectorPtr();
    const std::size_t threads = threadCount();
    testing::internal::CaptureStderr();
    EXPECT_FALSE(controller.initialize(board.devicePath(), 1));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_TRUE(controller.isInitialized());
    EXPECT_EQ(controller.connectorPtr(), link);
    EXPECT_EQ(controller.sendConverterPtr()->direction, kForward);
    EXPECT_EQ(threadCount(), threads) << "a second link thread was started";
  }

  {
    SCOPED_TRACE("direct commands");
    // 0.1 m/s: right 12.3 counts -> 12 forward; left -12.4 -> 13 backward.
    expectSent(
        board, [&] { controller.setSendDataVRL(0.1, 0.1, true); },
        Command{kBackwardByte, kForwardByte, 13, 12, kNoRestMark}, "setSendDataVRL(0.1, 0.1)");
    // 1 m radius at 0.5 m/s: 637.2 and 362.8 mm/s, 78 and 46 counts.
    expectSent(
        board, [&] { controller.setSendDataRV(1.0, 0.5, false); },
        Command{kBackwardByte, kForwardByte, 46, 78, kNoRestMark}, "setSendDataRV(1.0, 0.5)");
    // A radius of 0 cannot be expressed: standstill.
    expectSent(
        board, [&] { controller.setSendDataRV(0.0, 0.5, false); },
        Command{kBackwardByte, kBackwardByte, 0, 0, kNoRestMark}, "setSendDataRV(0, 0.5)");
    SendData marked;
    marked.option5 = 40;
    expectSent(
        board, [&] { controller.setSendData(marked, true); },
        Command{kStopByte, kStopByte, 0, 0, 40}, "setSendData");
  }

  {
    SCOPED_TRACE("odometry while driving");
    controller.setSendDataVRL(0.2, 0.2, true);
    Odometory o = controller.renewOdometory(false);
    const WheelStatus wheelsBefore = controller.getTotalWheelStatus();
    double distance = 0.0;
    for (int cycle = 0; cycle < 40; ++cycle) {
      o = controller.renewOdometory(true);
      distance += o.step.distance;
      const WheelStatus step = controller.getStepWheelStatus();
      EXPECT_NEAR(step.time, o.step.time, 1e-9);  // summed vs differenced
      EXPECT_GE(step.right, 0.0);
    }
    controller.setSendDataVRL(0.0, 0.0, true);
    // About 1.2 s at up to 0.2 m/s.
    EXPECT_GT(distance, 0.05);
    EXPECT_LT(distance, 0.3);
    EXPECT_GT(controller.getTotalWheelStatus().right, wheelsBefore.right);
    EXPECT_GT(controller.getTotalWheelStatus().left, wheelsBefore.left);
  }

  {
    SCOPED_TRACE("resetOdometory keeps the wheel records");
    controller.renewOdometory(false);
    const WheelStatus total = controller.getTotalWheelStatus();
    const WheelStatus step = controller.getStepWheelStatus();
    controller.resetOdometory();
    const Odometory o = controller.getOdometory();
    expectSameTotal(o, Odometory());
    expectZeroStep(o);
    EXPECT_EQ(controller.getTotalWheelStatus().right, total.right);
    EXPECT_EQ(controller.getTotalWheelStatus().time, total.time);
    EXPECT_EQ(controller.getStepWheelStatus().left, step.left);
  }

  {
    SCOPED_TRACE("a silent board: renewals give up after about 100 ms");
    board.setSilent(true);
    Odometory previous = controller.renewOdometory(false);
    Odometory o;
    std::chrono::steady_clock::duration took{};
    // A reply may still be on its way when the board falls silent.
    for (int attempt = 0; attempt < 5; ++attempt) {
      const auto start = std::chrono::steady_clock::now();
      o = controller.renewOdometory(true);
      took = std::chrono::steady_clock::now() - start;
      if (o.step.time == 0.0) {
        break;
      }
      previous = o;
    }
    std::cout << "renewOdometory(true) on a silent board returned after "
              << std::chrono::duration_cast<std::chrono::milliseconds>(took).count() << " ms"
              << std::endl;
    EXPECT_GE(took, 90ms);
    EXPECT_LT(took, 1000ms);
    expectZeroStep(o);
    expectSameTotal(o, previous);
    EXPECT_EQ(controller.getStepWheelStatus().time, 0.0);
    EXPECT_EQ(controller.getStepWheelStatus().right, 0.0);
    const WheelStatus total = controller.getTotalWheelStatus();
    const Odometory polled = controller.renewOdometory(false);
    expectZeroStep(polled);
    expectSameTotal(polled, previous);
    EXPECT_EQ(controller.getTotalWheelStatus().time, total.time);

    // The next frame to come is taken by the next renewal.
    board.resumeAnswering();
    board.setSilent(false);
    const Odometory resumed = controller.renewOdometory(true);
    EXPECT_GT(resumed.step.time, 0.0);
    EXPECT_NEAR(resumed.total.time, previous.total.time + resumed.step.time, 1e-9);
  }

  {
    SCOPED_TRACE("initRobotPose keeps the queued frames");
    controller.renewOdometory(false);
    ASSERT_TRUE(board.waitForReplies(board.replyCount() + 3, 2s));
    const WheelStatus wheels = controller.getTotalWheelStatus();
    controller.initRobotPose(5.0, 6.0, -1.0);
    EXPECT_EQ(controller.getTotalWheelStatus().right, wheels.right);
    EXPECT_EQ(controller.getTotalWheelStatus().left, wheels.left);
    EXPECT_EQ(controller.getTotalWheelStatus().time, wheels.time);
    Odometory o = controller.getOdometory();
    EXPECT_EQ(o.total.x, 5.0);
    EXPECT_EQ(o.total.y, 6.0);
    EXPECT_EQ(o.total.theta, -1.0);
    EXPECT_EQ(o.total.time, 0.0);
    expectZeroStep(o);
    o = controller.renewOdometory(false);
    EXPECT_GE(o.step.time, 0.05);  // at least the three replies waited for
    EXPECT_EQ(o.total.time, o.step.time);
  }

  const Odometory kept = controller.renewOdometory(false);
  {
    SCOPED_TRACE("finalize, twice");
    EXPECT_TRUE(controller.finalize());
    EXPECT_TRUE(controller.allReleased());
    EXPECT_FALSE(controller.isInitialized());
    EXPECT_TRUE(board.waitForClient(false, 1s));
    EXPECT_TRUE(controller.finalize());
    EXPECT_TRUE(controller.allReleased());
    expectSameTotal(controller.getOdometory(), kept);
  }

  {
    SCOPED_TRACE("initialize again: new wheel records, same pose");
    testing::internal::CaptureStderr();
    ASSERT_TRUE(controller.initialize(board.devicePath(), kForward));
    testing::internal::GetCapturedStderr();
    EXPECT_TRUE(controller.isInitialized());
    EXPECT_EQ(controller.getTotalWheelStatus().time, 0.0);
    EXPECT_EQ(controller.getTotalWheelStatus().right, 0.0);
    EXPECT_EQ(controller.getStepWheelStatus().time, 0.0);
    expectSameTotal(controller.getOdometory(), kept);
  }
}

// A board that never answers: the handshake gives up after its time limit
// and the controller reports it and keeps nothing.
TEST(ControllerOnBoard, NoAnswerFromTheBoard) {
  SimulatedBoard board;
  ASSERT_TRUE(startBoard(board));
  board.setSilent(true);
  InspectableAutoController controller;
  testing::internal::CaptureStderr();
  const bool ok = controller.initialize(board.devicePath(), kForward);
  const std::string printed = testing::internal::GetCapturedStderr();
  EXPECT_FALSE(ok);
  EXPECT_EQ(printed, "wait for wheel chair...\nwheel chair error: connection failture\n");
  EXPECT_TRUE(controller.allReleased());
  EXPECT_FALSE(controller.isInitialized());
  EXPECT_FALSE(AutoControllerTestPeer::hasControlThread(controller));
  EXPECT_TRUE(board.waitForClient(false, 1s));

  // The board answers again: the same controller connects.
  board.setSilent(false);
  testing::internal::CaptureStderr();
  EXPECT_TRUE(controller.initialize(board.devicePath(), kForward));
  testing::internal::GetCapturedStderr();
  EXPECT_TRUE(AutoControllerTestPeer::hasControlThread(controller));
}

}  // namespace
}  // namespace tolvarine_controller
