// Stick positions, radius commands, commands that cannot be driven, the
// wheel limits and a restart, read off the frames the simulated board
// received. At 7 m/s^2 (0.21 m/s per cycle) a target shows within a few
// frames.
//
// Reversed mounting, counts worked by hand: right = floor(-mm/s * 123.29 /
// 1000), left = floor(mm/s * 124.42 / 1000). So 0.5 m/s on both wheels is
// (-62, 62): floor(-61.6) and floor(62.2).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

#include "board_frames.h"
#include "tolvarine_controller/joystick_controller.h"

namespace tolvarine_controller {
namespace {

using namespace testing_board;

// finalize is for subclasses; the component calls it between activations.
class Restartable : public JoyStickController {
 public:
  using JoyStickController::finalize;
  using JoyStickController::JoyStickController;
};

TEST(JoyStickOnBoard, TargetsLimitsRejectedCommandsAndRestart) {
  SimulatedBoard board;
  ASSERT_TRUE(startBoard(board));
  FrameReader frames(board);
  Restartable controller(0.5, 7.0);
  ASSERT_TRUE(controller.initialize(board.devicePath(), kReversed));
  {
    SCOPED_TRACE("at rest from the first control cycle");
    expectRestMark(frames, firstControlFrame(frames));
  }

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
        // The stick length 0.1345 is taken before x falls into the dead band.
        {0.09, 0.1, {-7, 8}, "x in the dead band, y on its bound: 0.05, 0.0673"},
        {0.09, 0.09, {0, 0}, "both in the dead band"},
    };
    for (const auto& c : cases) {
      SCOPED_TRACE(c.what);
      controller.setSendDataXY(c.x, c.y);
      frames.settlesAt(c.wheels);
    }
    EXPECT_THROW(controller.setMaxSpeed(-1.0), std::invalid_argument);
    controller.setSendDataXY(0, 1);
    frames.settlesAt({-62, 62});  // the refused speed changed nothing
    controller.setMaxSpeed(1.0);
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
      controller.setSendDataRV(c.radius, c.velocity);
      frames.settlesAt(c.wheels);
    }
  }
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << "a drivable command was reported";

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
      controller.setSendDataVRL(0.2, 0.2);
      frames.settlesAt({-25, 24});  // floor(-24.66), floor(24.88)
      testing::internal::CaptureStderr();
      c.apply(controller);
      c.apply(controller);  // repeated every cycle by a caller: still one line
      frames.settlesAt({0, 0});
      const std::string printed = testing::internal::GetCapturedStderr();
      EXPECT_EQ(std::count(printed.begin(), printed.end(), '\n'), 1) << printed;
    }
  }
  {
    SCOPED_TRACE("targets beyond the limits hold the commands at the saturating speeds");
    controller.setSendDataVRL(100.0, -100.0);
    ASSERT_TRUE(frames.settlesAt({-255, -255}, 15));
    for (int cycle = 0; cycle < 4; ++cycle) {
      EXPECT_EQ(frames.next().wheels, (Wheels{-255, -255}));
    }
    // The commands stood at 2.068 and -2.050 m/s, where the bytes saturate,
    // not at 100 m/s: the first step down gives 1.858 and -1.840 m/s.
    controller.setSendDataVRL(0.0, 0.0);
    Command c = frames.next();
    for (int i = 0; c.wheels == Wheels{-255, -255} && i < 10; ++i) {
      c = frames.next();
    }
    EXPECT_EQ(c.wheels, (Wheels{-230, -229}));
    for (int i = 0; c.wheels != Wheels{} && i < 20; ++i) {
      c = frames.next();
    }
    // Having moved, the chair counts its rest cycles from the start again.
    expectRestMark(frames, c);
  }
  {
    SCOPED_TRACE("after finalize the next link starts from rest, toward the kept target");
    controller.setSendDataXY(0, 0.5);  // 0.5 m/s at maxSpeed 1
    ASSERT_TRUE(frames.settlesAt({-62, 62}));
    controller.finalize();
    frames.skipToEnd();
    ASSERT_TRUE(controller.initialize(board.devicePath(), kReversed));
    EXPECT_EQ(firstControlFrame(frames).wheels, (Wheels{-26, 26}));  // 0.21 m/s
    EXPECT_EQ(frames.next().wheels, (Wheels{-52, 52}));              // 0.42 m/s
    EXPECT_EQ(frames.next().wheels, (Wheels{-62, 62}));
  }
}

}  // namespace
}  // namespace tolvarine_controller
