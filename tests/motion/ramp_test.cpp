// The ramp step by step, the limits the controllers refuse, and what an
// unconnected controller does. No board is needed here.
#include "ramp.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <stdexcept>
#include <string>

#include "tolvarine_controller/joystick_controller.h"

namespace tolvarine_controller {
namespace {

TEST(Ramp, StepIsTheAccelerationOverOneThirtyMillisecondCycle) {
  // 0.7 m/s^2 * 0.03 s = 21 mm/s, which in doubles is 20.999999999999996.
  EXPECT_EQ(accelerationStep(0.7), 20.999999999999996);
  EXPECT_DOUBLE_EQ(accelerationStep(1000.0), 30000.0);
}

TEST(Ramp, OneCycleTowardTheTarget) {
  const double step = accelerationStep(0.7);
  struct Case {
    double command, target, next;
  } const cases[] = {
      {0, 500, 21},    {21, 500, 42},    {483, 500, 500},  // 17 left: lands, no overshoot
      {500, 500, 500}, {500, -500, 479}, {10, -500, -11},  // straight through zero
      {-483, 0, -462}, {-17, 0, 0},      {0, 15, 15},
      {0, -15, -15},   {0, step, step},  // exactly one step away is not more than one step
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.command << " toward " << c.target);
    EXPECT_NEAR(rampToward(c.command, c.target, step), c.next, 1e-9);
  }
}

TEST(Ramp, ZeroToHalfAMetrePerSecondTakesTwentyFourCycles) {
  // 23 steps of 21 reach 483; the 24th lands on 500 exactly.
  const double step = accelerationStep(0.7);
  double command = 0.0;
  int cycles = 0;
  while (command != 500.0 && cycles < 100) {
    command = rampToward(command, 500.0, step);
    ++cycles;
  }
  EXPECT_EQ(cycles, 24);
}

// Negative or not a number would remove the ramp, 0 would never move, and a
// negative speed would turn the stick around.
TEST(Limits, UnsafeAccelerationsAndSpeedsAreRefused) {
  for (const double bad : {-0.7, 0.0, std::nan(""), HUGE_VAL}) {
    SCOPED_TRACE(bad);
    EXPECT_THROW(AutoController{bad}, std::invalid_argument);
    EXPECT_THROW(JoyStickController(0.5, bad), std::invalid_argument);
    EXPECT_THROW(JoyStickController{bad}, std::invalid_argument);
    JoyStickController stick;
    EXPECT_THROW(stick.setMaxSpeed(bad), std::invalid_argument);
  }
  EXPECT_NO_THROW(AutoController{1e-3});
  // A command time-out is off (0) or a number of seconds up to a day.
  AutoController controller;
  EXPECT_EQ(controller.getCommandTimeout(), 0.0);
  controller.setCommandTimeout(0.5);
  for (const double bad : {-0.1, std::nan(""), HUGE_VAL, 86400.5}) {
    SCOPED_TRACE(bad);
    EXPECT_THROW(controller.setCommandTimeout(bad), std::invalid_argument);
    EXPECT_EQ(controller.getCommandTimeout(), 0.5);
  }
  controller.setCommandTimeout(86400);
  EXPECT_EQ(controller.getCommandTimeout(), 86400);
}

TEST(Unconnected, EveryOperationIsSafeAndThePoseIsKept) {
  const auto start = std::chrono::steady_clock::now();
  {
    JoyStickController controller;
    controller.initRobotPose(1.0, 2.0, 0.5);
    controller.setSendDataXY(0.0, 1.0);
    controller.setSendDataRV(1.0, 0.5);
    controller.Controller::setSendDataVRL(0.1, 0.1, true);
    controller.setSendData(SendData(), true);
    for (const Odometory& o : {controller.renewOdometory(true), controller.getOdometory()}) {
      EXPECT_EQ(o.total.x, 1.0);
      EXPECT_EQ(o.total.y, 2.0);
      EXPECT_EQ(o.total.theta, 0.5);
      EXPECT_EQ(o.step.time, 0.0);
    }
    EXPECT_EQ(controller.getTotalWheelStatus().time, 0.0);
    EXPECT_EQ(controller.getLinkState(), LinkState::Unconnected);
    controller.resetOdometory();
    EXPECT_EQ(controller.getOdometory().total.x, 0.0);

    testing::internal::CaptureStderr();
    EXPECT_FALSE(controller.initialize("/nonexistent/tolvarine-port", -1));
    EXPECT_FALSE(controller.initialize("/nonexistent/tolvarine-port", -1));  // may retry
    const std::string printed = testing::internal::GetCapturedStderr();
    const std::string line = "connector error: serial port can not open\n";
    const auto first = printed.find(line);
    EXPECT_NE(first, std::string::npos) << printed;
    EXPECT_NE(printed.find(line, first + 1), std::string::npos) << printed;
    EXPECT_EQ(printed.find("wait for wheel chair"), std::string::npos) << printed;
    EXPECT_FALSE(controller.isInitialized());
  }
  // Nothing to join: no sends waited, and the destructor found no thread.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
}

}  // namespace
}  // namespace tolvarine_controller
