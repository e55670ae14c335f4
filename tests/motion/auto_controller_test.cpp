// End to end on the simulated board: one automatic controller, connected
// once, through phase after phase: it ramps, rests, loses its link, times
// out and is destroyed while driving. The commands are read off the frames
// the board received.
//
// At 2.8 m/s^2 the ramp steps 84 mm/s per cycle. Forward mounting, counts
// worked by hand: right = floor(mm/s * 123.29 / 1000), left =
// floor(-mm/s * 124.42 / 1000); 300 mm/s on both wheels is (36, -38).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "board_frames.h"
#include "test_support.h"
#include "tolvarine_controller/auto_controller.h"

namespace tolvarine_controller {
namespace {

using namespace testing_board;

constexpr double kMaxAcc = 2.8;  // m/s^2, within the board's own 3
constexpr std::size_t kOneSecondOfFrames = 33 * TOLVARINE_TEST_TIME_SCALE;

std::size_t threadCount() {
  std::size_t n = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
    n += entry.exists() ? 1 : 0;
  }
  return n;
}

bool waitForLinkState(const Controller& controller, LinkState state) {
  return test_support::eventually([&] { return controller.getLinkState() == state; });
}

class AutoControllerOnBoard : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    tolvarine_board_sim::BoardOptions options;
    options.maxAcceleration = 3.0;  // m/s^2
    board = std::make_unique<SimulatedBoard>(options);
    if (!startBoard(*board)) {
      return;
    }
    frames = std::make_unique<FrameReader>(*board);
    controller = std::make_unique<AutoController>(kMaxAcc);
    controller->initRobotPose(1.0, 2.0, 0.5);  // before the link: the controller's own
    testing::internal::CaptureStderr();
    connected = controller->initialize(board->devicePath(), kForward);
    printed = testing::internal::GetCapturedStderr();
    if (connected) {
      first = controller->renewOdometory(false);
      firstWheels = controller->getTotalWheelStatus();
      // The board's true pose starts at the origin, heading along x.
      controller->initRobotPose(0.0, 0.0, 0.0);
    }
  }
  static void TearDownTestSuite() {
    controller.reset();
    frames.reset();
    board.reset();
  }
  void SetUp() override { ASSERT_TRUE(connected && controller) << printed; }

  static inline std::unique_ptr<SimulatedBoard> board;
  static inline std::unique_ptr<FrameReader> frames;
  static inline std::unique_ptr<AutoController> controller;
  static inline bool connected = false;
  static inline std::string printed;
  static inline Odometory first;
  static inline WheelStatus firstWheels;
  // Cycles at rest before the mark, over each stretch at rest after moving.
  static inline std::vector<int> restStretches;
};

TEST_F(AutoControllerOnBoard, HandshakeAndSettlingPause) {
  EXPECT_EQ(printed.rfind("wait for wheel chair...\nwheel chir connect success\n", 0), 0u);
  // The first renewal takes the frames of the 2 s settling pause.
  EXPECT_GE(first.step.time, 1.9);
  EXPECT_EQ(
      (std::vector<double>{first.total.distance, first.total.x, first.total.y, first.total.theta}),
      (std::vector<double>{0.0, 1.0, 2.0, 0.5}));
  EXPECT_EQ(firstWheels.time, first.step.time);
  const std::size_t threads = threadCount();
  EXPECT_FALSE(controller->initialize(board->devicePath(), kForward)) << "a second initialize";
  EXPECT_EQ(threadCount(), threads);
}

TEST_F(AutoControllerOnBoard, RightWheelFromRestToHalfAMetrePerSecondAndBack) {
  Command c = firstControlFrame(*frames);
  for (int i = 0; c.mark != kRestMark && i < 100; ++i) {
    c = frames->next();
  }
  controller->setSendDataVRL(0.5, 0.0);
  c = frames->nextChange(c);
  EXPECT_EQ(c.mark, kNoMark);  // the first cycle that moves drops the mark
  // 84, 168, ..., 420 mm/s, then 500 exactly.
  for (const int right : {10, 20, 31, 41, 51, 61}) {
    EXPECT_EQ(c.wheels, (Wheels{right, 0}));
    EXPECT_EQ(c.mark, kNoMark);
    c = right < 61 ? frames->nextChange(c) : c;
  }
  frames->holds({61, 0}, 3, "did not stay");
  controller->setSendDataVRL(0.0, 0.0);
  // 416 down to 80 mm/s, then the landing on 0.
  for (const int right : {51, 40, 30, 20, 9, 0}) {
    c = frames->nextChange(c);
    EXPECT_EQ(c.wheels, (Wheels{right, 0}));
  }
  restStretches.push_back(cyclesBeforeRestMark(*frames, c));
}

TEST_F(AutoControllerOnBoard, ResetOdometoryKeepsTheWheelRecords) {
  controller->renewOdometory(false);  // takes in the ramp's frames
  const WheelStatus wheels = controller->getTotalWheelStatus();
  EXPECT_GT(wheels.right, 100.0);
  controller->resetOdometory();
  EXPECT_EQ(controller->getOdometory().total.distance, 0.0);
  EXPECT_EQ(controller->getTotalWheelStatus().right, wheels.right);
  EXPECT_EQ(controller->getTotalWheelStatus().left, wheels.left);
}

TEST_F(AutoControllerOnBoard, LostLinkBringsTheChairToRestAndDropsTheTargets) {
  frames->skipToEnd();
  controller->setSendDataVRL(0.3, 0.3);
  ASSERT_TRUE(frames->settlesAt({36, -38}));
  board->setSilent(true);
  ASSERT_TRUE(waitForLinkState(*controller, LinkState::Lost));
  controller->setSendDataVRL(0.8, 0.8);  // never reaches a frame
  Command c = frames->next();
  for (int i = 0; c.wheels != Wheels{} && i < 20; ++i) {
    const Command previous = c;
    c = frames->next();
    EXPECT_LE(c.wheels.right, previous.wheels.right) << "sped up while the link was lost";
  }
  restStretches.push_back(cyclesBeforeRestMark(*frames, c));
  // Having moved, the chair counts its rest cycles from the start again.
  EXPECT_EQ(*std::min_element(restStretches.begin(), restStretches.end()), 5)
      << "cycles at rest before the mark: " << testing::PrintToString(restStretches);

  // A renewal waits for a frame about 100 ms at most, and finds none.
  controller->renewOdometory(false);
  const std::size_t before = board->frameCount();
  const Odometory o = controller->renewOdometory(true);
  EXPECT_LE(board->frameCount() - before, kOneSecondOfFrames);
  EXPECT_EQ(o.step.time, 0.0);
  EXPECT_EQ(controller->getStepWheelStatus().time, 0.0);

  board->resumeAnswering();
  ASSERT_TRUE(waitForLinkState(*controller, LinkState::Connected));
  EXPECT_EQ(controller->getLinkLossCount(), 1u) << "the loss is kept once the link is back";
  frames->skipToEnd();
  frames->holds({}, 5, "a dropped target came back");
}

TEST_F(AutoControllerOnBoard, CommandTimeOutRestsTheChairUntilTheNextCommand) {
  controller->setCommandTimeout(0.3);
  testing::internal::CaptureStderr();
  frames->skipToEnd();
  controller->setSendDataVRL(0.1, 0.1);
  // 0.3 s is 10 cycles from the command, by when the ramp has reached
  // 100 mm/s (5 steps of 21, counts 12 and -13); 5 steps back to rest. A
  // busy machine stretches cycles, so fewer fit into the 0.3 s; a time-out
  // counted from before the command would stop the ramp at its first step.
  int moving = 0;
  for (Command c = frames->next(); c.wheels != Wheels{} && moving < 60; c = frames->next()) {
    ++moving;
  }
  EXPECT_GE(moving, 6);
  EXPECT_LE(moving, 19);
  frames->holds({}, 5, "moved again without a command");
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "AutoController: no command for 0.3 s, bringing the chair to rest\n");
  controller->setCommandTimeout(0.0);
  controller->setSendDataVRL(0.3, 0.3);
  ASSERT_TRUE(frames->settlesAt({36, -38}, 40));
  frames->holds({36, -38}, 20, "timed out while off");
  controller->setSendDataVRL(0.0, 0.0);
  ASSERT_TRUE(frames->settlesAt(Wheels{}, 40));
}

TEST_F(AutoControllerOnBoard, InitRobotPoseKeepsTheFramesQueuedSinceTheLastRenewal) {
  controller->renewOdometory(false);
  // The link reads each reply before it sends the next command, so four
  // more commands mean three more replies taken in, at least.
  ASSERT_TRUE(board->waitForFrames(board->validFrameCount() + 4, kPatience));
  controller->initRobotPose(5.0, 6.0, -1.0);
  const Odometory o = controller->renewOdometory(false);
  EXPECT_GE(o.step.time, 0.05);
  EXPECT_EQ(o.total.x, 5.0);
  EXPECT_EQ(o.total.theta, -1.0);
}

TEST_F(AutoControllerOnBoard, DestroyedWhileDriving) {
  controller->setSendDataVRL(0.3, 0.3);
  ASSERT_TRUE(frames->settlesAt({36, -38}));
  // The control thread ends at the next link cycle, then the link sends its
  // last frame: two frames or so.
  const std::size_t before = board->frameCount();
  controller.reset();
  EXPECT_TRUE(board->waitForClient(false, kPatience));
  EXPECT_LE(board->frameCount() - before, kOneSecondOfFrames);
  const std::size_t count = board->validFrameCount();
  EXPECT_FALSE(board->waitForFrames(count + 1, 300ms)) << "a frame after the close";
}

}  // namespace
}  // namespace tolvarine_controller
