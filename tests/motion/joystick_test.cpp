// Stick positions, radius commands, commands that cannot be driven, the
// wheel limits and a restart, read off the frames the simulated board
// received. At 14 m/s^2 (0.42 m/s per cycle) a target shows within a
// frame or two. Alongside, a plain controller's direct commands.
//
// Reversed mounting, counts worked by hand: right = floor(-mm/s * 123.29 /
// 1000), left = floor(mm/s * 124.42 / 1000). So 0.5 m/s on both wheels is
// (-62, 62): floor(-61.6) and floor(62.2).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <future>
#include <memory>
#include <stdexcept>
#include <string>

#include "board_frames.h"
#include "tolvarine_controller/joystick_controller.h"

namespace tolvarine_controller {
namespace {

using namespace testing_board;

int linesNaming(const std::string& name, const std::string& text) {
  int lines = 0;
  for (std::size_t at = text.find(name); at != std::string::npos; at = text.find(name, at + 1)) {
    ++lines;
  }
  return lines;
}

// finalize is for subclasses; the component calls it between activations.
class Restartable : public JoyStickController {
 public:
  using JoyStickController::finalize;
  using JoyStickController::JoyStickController;
};

TEST(JoyStickOnBoard, TargetsLimitsRejectedCommandsAndRestart) {
  SimulatedBoard board;
  SimulatedBoard plainBoard;
  ASSERT_TRUE(startBoard(board));
  ASSERT_TRUE(startBoard(plainBoard));
  FrameReader frames(board);
  Restartable controller(0.5, 14.0);
  auto plain = std::make_unique<Controller>();
  // Both settling pauses at once.
  auto plainConnected = std::async(
      std::launch::async, [&] { return plain->initialize(plainBoard.devicePath(), kForward); });
  ASSERT_TRUE(controller.initialize(board.devicePath(), kReversed));
  ASSERT_TRUE(plainConnected.get());
  const int restAtStart = cyclesBeforeRestMark(frames, firstControlFrame(frames));
  {
    SCOPED_TRACE("a plain controller sends its commands as given, forward mounting");
    FrameReader plainFrames(plainBoard);
    plain->setSendDataVRL(0.1, 0.1, true);
    plainFrames.settlesAt({12, -13});  // floor(12.3), floor(-12.4)
    plain->setSendDataRV(1.0, 0.5, true);
    plainFrames.settlesAt({78, -46});  // 637.2 and 362.8 mm/s
    SendData marked;
    marked.option5 = kRestMark;
    plain->setSendData(marked, true);
    plainFrames.settlesAt({0, 0});
    const Command c = plainFrames.next();
    EXPECT_TRUE(c.stop);
    EXPECT_EQ(c.mark, kRestMark);
    plain.reset();
  }

  frames.skipToEnd();
  testing::internal::CaptureStderr();
  {
    SCOPED_TRACE("stick positions at maxSpeed 0.5 m/s");
    struct {
      double x, y;
      Wheels wheels;
      const char* what;  // right, left wheel in m/s
    } const cases[] = {
        {0, 1, {-62, 62}, "ahead: 0.5, 0.5"},
        {1, 0, {30, 31}, "on the spot to the right: -0.25, 0.25"},
        {-1, 0, {-31, -32}, "on the spot to the left: 0.25, -0.25"},
        {0.1, 0, {3, 3}, "exactly on the dead-band bound, kept: -0.025, 0.025"},
        {0.5, 0.05, {15, 15}, "y in the dead band, on the spot: -0.125, 0.125"},
        {0.6, 0.8, {-50, 62}, "ahead right, the left wheel outside: 0.4, 0.5"},
        {-0.6, 0.8, {-62, 49}, "ahead left: 0.5, 0.4"},
        {0.6, -0.8, {49, -63}, "backwards: -0.4, -0.5"},
        {1, 1, {-44, 62}, "beyond the unit circle, taken on it: 0.3536, 0.5"},
        {0, 1e200, {-62, 62}, "so far out that the squares overflow: 0.5, 0.5"},
        // The stick length 0.1345 is taken before x falls into the dead band.
        {0.09, 0.1, {-7, 8}, "x in the dead band, y on its bound: 0.05, 0.0673"},
        {0.09, 0.09, {0, 0}, "both in the dead band"},
    };
    for (const auto& c : cases) {
      SCOPED_TRACE(c.what);
      frames.settlesAt(c.wheels, 50, [&] { controller.setSendDataXY(c.x, c.y); });
    }
    EXPECT_THROW(controller.setMaxSpeed(-1.0), std::invalid_argument);
    controller.setSendDataXY(0, 1);
    frames.settlesAt({-62, 62});  // the refused speed changed nothing
    controller.setMaxSpeed(1.0);
    frames.settlesAt({-62, 62});  // the current targets stay
    controller.setSendDataXY(0.5, 0.05);
    frames.settlesAt({30, 31});  // on the spot at 0.25 m/s now
  }
  {
    SCOPED_TRACE("radius and speed");
    struct {
      double radius, velocity;
      Wheels wheels;
      const char* what;  // right, left wheel in mm/s
    } const cases[] = {
        {1.0, 0.5, {-79, 45}, "1 m to the left: 637.2, 362.8"},
        {-1.0, 0.5, {-45, 79}, "1 m to the right: 362.8, 637.2"},
        {1.0, -0.5, {78, -46}, "backwards on the same circle: -637.2, -362.8"},
        {HUGE_VAL, 0.3, {-37, 37}, "endless radius, straight: 300, 300"},
    };
    for (const auto& c : cases) {
      SCOPED_TRACE(c.what);
      frames.settlesAt(c.wheels, 50, [&] { controller.setSendDataRV(c.radius, c.velocity); });
    }
  }
  EXPECT_EQ(linesNaming("setSendData", testing::internal::GetCapturedStderr()), 0)
      << "a drivable command was reported";

  {
    SCOPED_TRACE("a command that cannot be driven stops the chair and is reported once");
    using Apply = void (*)(JoyStickController&);
    struct {
      const char* what;
      Apply apply;
    } const cases[] = {
        {"stick not a number", [](JoyStickController& c) { c.setSendDataXY(std::nan(""), 0.5); }},
        {"stick infinite", [](JoyStickController& c) { c.setSendDataXY(0.5, HUGE_VAL); }},
        {"overflowing in mm/s", [](JoyStickController& c) { c.setSendDataVRL(1e306, 0.2); }},
        {"radius 0", [](JoyStickController& c) { c.setSendDataRV(0.0, 0.5); }},
        {"speed not a number", [](JoyStickController& c) { c.setSendDataRV(1.0, std::nan("")); }},
    };
    for (const auto& c : cases) {
      SCOPED_TRACE(c.what);
      // floor(-24.66), floor(24.88)
      frames.settlesAt({-25, 24}, 50, [&] { controller.setSendDataVRL(0.2, 0.2); });
      testing::internal::CaptureStderr();
      // Repeated every cycle by a caller: still one line.
      c.apply(controller);
      frames.settlesAt({0, 0}, 50, [&] { c.apply(controller); });
      const std::string printed = testing::internal::GetCapturedStderr();
      EXPECT_EQ(linesNaming("setSendData", printed), 1) << printed;
    }
  }
  {
    SCOPED_TRACE("targets beyond the limits hold the commands at the saturating speeds");
    controller.setSendDataVRL(100.0, -100.0);
    ASSERT_TRUE(frames.settlesAt({-255, -255}, 15));
    frames.holds({-255, -255}, 4);
    // The commands stood at 2.068 and -2.050 m/s, where the bytes saturate,
    // not at 100 m/s: the first step down gives 1.648 and -1.630 m/s.
    controller.setSendDataXY(0.0, 0.0);  // the right target is -0, still rest
    Command c = frames.nextChange({{-255, -255}});
    EXPECT_EQ(c.wheels, (Wheels{-204, -203}));
    for (int i = 0; c.wheels != Wheels{} && i < 20; ++i) {
      c = frames.next();
    }
    // Having moved, the chair counts its rest cycles from the start again.
    const int restAfterMoving = cyclesBeforeRestMark(frames, c);
    EXPECT_EQ(std::min(restAtStart, restAfterMoving), 5)
        << "cycles at rest before the mark: " << restAtStart << ", " << restAfterMoving;
  }
  {
    SCOPED_TRACE("after finalize the next link starts from rest, toward the kept target");
    controller.setSendDataXY(0, 0.5);  // 0.5 m/s at maxSpeed 1
    ASSERT_TRUE(frames.settlesAt({-62, 62}));
    const Odometory pose = controller.renewOdometory(false);
    EXPECT_GT(controller.getTotalWheelStatus().time, 0.0);
    controller.finalize();
    controller.finalize();  // a second one is harmless
    frames.skipToEnd();
    ASSERT_TRUE(controller.initialize(board.devicePath(), kReversed));
    EXPECT_EQ(controller.getTotalWheelStatus().time, 0.0);       // new wheel records
    EXPECT_EQ(controller.getOdometory().total.x, pose.total.x);  // the same pose
    EXPECT_EQ(controller.getOdometory().total.theta, pose.total.theta);
    Command c = firstControlFrame(frames);
    EXPECT_EQ(c.wheels, (Wheels{-52, 52}));  // 0.42 m/s
    EXPECT_EQ(frames.nextChange(c).wheels, (Wheels{-62, 62}));
  }
}

}  // namespace
}  // namespace tolvarine_controller
