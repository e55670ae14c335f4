#include "tolvarine_controller/receive_converter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

namespace tolvarine_controller {
namespace {

constexpr int kForward = -1;
constexpr int kReversed = 1;
constexpr double kPi = 3.14159265358979323846;

ReceiveData frame(std::uint8_t wheelSpeed1, std::uint8_t wheelSpeed2, std::int32_t elapsedMs) {
  ReceiveData data;
  data.isValid = true;
  data.status1 = 0x41;
  data.status2 = 0x41;
  data.wheelSpeed1 = wheelSpeed1;
  data.wheelSpeed2 = wheelSpeed2;
  data.elapsed = elapsedMs;
  return data;
}

Odometory poseAt(double x, double y, double theta) {
  Odometory odometory;
  odometory.total.x = x;
  odometory.total.y = y;
  odometory.total.theta = theta;
  return odometory;
}

// --- Wheel travel of single frames -------------------------------------

TEST(WheelTravel, StraightRunForwardMounting) {
  const ReceiveConverter converter(kForward);
  // 10 counts either side of the centre: 10 * 293/15 mm/s for 30 ms.
  const WheelStatus wheel = converter.toWheelStatus(frame(118, 138, 30));
  EXPECT_EQ(wheel.right, 5.86);
  EXPECT_EQ(wheel.left, 5.86);
  EXPECT_EQ(wheel.time, 0.03);
}

TEST(WheelTravel, SameFrameReversedMountingRunsBackwards) {
  const ReceiveConverter converter(kReversed);
  const WheelStatus wheel = converter.toWheelStatus(frame(118, 138, 30));
  EXPECT_EQ(wheel.right, -5.86);
  EXPECT_EQ(wheel.left, -5.86);
  EXPECT_EQ(wheel.time, 0.03);
}

TEST(WheelTravel, AnyDirectionOtherThanMinusOneIsTheReversedMounting) {
  for (int direction : {0, 1, 2, -2}) {
    const ReceiveConverter converter(direction);
    // Byte 3 alone ahead of the centre: in the reversed mounting that is the
    // right wheel, running backwards.
    const WheelStatus wheel = converter.toWheelStatus(frame(138, 128, 1000));
    EXPECT_EQ(wheel.right, 195.33333333333334) << "direction " << direction;
    EXPECT_EQ(wheel.left, 0.0) << "direction " << direction;
  }
  const WheelStatus forward = ReceiveConverter(kForward).toWheelStatus(frame(138, 128, 1000));
  EXPECT_EQ(forward.right, 0.0);
  EXPECT_EQ(forward.left, -195.33333333333334);
}

TEST(WheelTravel, OneWheelOnlyIsTheExactUnitTimesTime) {
  const ReceiveConverter converter(kForward);
  const WheelStatus wheel = converter.toWheelStatus(frame(128, 138, 1000));
  EXPECT_EQ(wheel.right, 195.33333333333334);
  EXPECT_EQ(wheel.left, 0.0);
  EXPECT_EQ(wheel.time, 1.0);
}

TEST(WheelTravel, DeadBandStopsTheWheelsButKeepsTheTime) {
  const ReceiveConverter converter(kForward);
  for (std::uint8_t s1 : {127, 128, 129}) {
    for (std::uint8_t s2 : {127, 128, 129}) {
      const WheelStatus wheel = converter.toWheelStatus(frame(s1, s2, 30));
      EXPECT_EQ(wheel.right, 0.0) << int(s1) << "/" << int(s2);
      EXPECT_EQ(wheel.left, 0.0) << int(s1) << "/" << int(s2);
      EXPECT_EQ(wheel.time, 0.03);
    }
  }
}

TEST(WheelTravel, TwoCountsOffTheCentreLeaveTheDeadBand) {
  const ReceiveConverter converter(kForward);
  const WheelStatus wheel = converter.toWheelStatus(frame(128, 130, 30));
  EXPECT_EQ(wheel.right, 1.172);
  EXPECT_EQ(wheel.left, 0.0);
  // The dead band needs both wheels inside it.
  const WheelStatus mixed = converter.toWheelStatus(frame(129, 130, 30));
  EXPECT_EQ(mixed.right, 1.172);
  EXPECT_NE(mixed.left, 0.0);
}

TEST(WheelTravel, ElapsedIsAnUnsignedMillisecondCount) {
  const ReceiveConverter converter(kForward);
  const WheelStatus wheel = converter.toWheelStatus(frame(128, 128, -1));
  EXPECT_EQ(wheel.time, 4294967.295);
}

// --- One pose step -----------------------------------------------------

TEST(PoseStep, StraightAlongTheHeading) {
  const ReceiveConverter converter(kForward);
  WheelStatus wheel;
  wheel.time = 0.03;
  wheel.right = 5.86;
  wheel.left = 5.86;
  const Odometory result = converter.integrate(Odometory(), wheel);
  EXPECT_DOUBLE_EQ(result.total.x, 0.00586);
  EXPECT_EQ(result.total.y, 0.0);
  EXPECT_EQ(result.total.theta, 0.0);
  EXPECT_DOUBLE_EQ(result.total.distance, 0.00586);
  EXPECT_EQ(result.total.time, 0.03);
}

TEST(PoseStep, BackwardsStillAddsPathLength) {
  const ReceiveConverter converter(kReversed);
  const Odometory result =
      converter.integrate(Odometory(), converter.toWheelStatus(frame(118, 138, 30)));
  EXPECT_DOUBLE_EQ(result.total.x, -0.00586);
  EXPECT_DOUBLE_EQ(result.total.distance, 0.00586);
}

TEST(PoseStep, ArcAboutTheLeftWheel) {
  const ReceiveConverter converter(kForward);
  // Right wheel 195.333 mm, left wheel still: a circle of radius 274.4 mm
  // about the left wheel, turned by 195.333 / 548.8 rad.
  const Odometory result =
      converter.integrate(Odometory(), converter.toWheelStatus(frame(128, 138, 1000)));
  const double dtheta = 195.33333333333334 / 548.8;
  EXPECT_NEAR(result.total.theta, 0.355928, 1e-6);
  EXPECT_DOUBLE_EQ(result.total.theta, dtheta);
  EXPECT_NEAR(result.total.x, 0.0956175, 1e-7);
  EXPECT_NEAR(result.total.y, 0.0171984, 1e-7);
  EXPECT_DOUBLE_EQ(result.total.x, 0.2744 * std::sin(dtheta));
  EXPECT_DOUBLE_EQ(result.total.y, 0.2744 * (1 - std::cos(dtheta)));
  EXPECT_NEAR(result.total.distance, 0.0971519, 1e-7);
  EXPECT_EQ(result.total.time, 1.0);
}

TEST(PoseStep, TurnOnTheSpotKeepsThePosition) {
  const ReceiveConverter converter(kForward);
  const WheelStatus wheel = converter.toWheelStatus(frame(138, 138, 1000));
  EXPECT_EQ(wheel.right, 195.33333333333334);
  EXPECT_EQ(wheel.left, -195.33333333333334);
  const Odometory result = converter.integrate(poseAt(1.0, 2.0, 0.25), wheel);
  EXPECT_NEAR(result.total.theta - 0.25, 0.711856, 1e-6);
  EXPECT_EQ(result.total.x, 1.0);
  EXPECT_EQ(result.total.y, 2.0);
  EXPECT_EQ(result.total.distance, 0.0);
}

TEST(PoseStep, HeadingHalfPiRunsAlongY) {
  const ReceiveConverter converter(kForward);
  WheelStatus wheel;
  wheel.right = 1000.0;
  wheel.left = 1000.0;
  wheel.time = 5.0;
  const Odometory result = converter.integrate(poseAt(0.0, 0.0, kPi / 2), wheel);
  EXPECT_NEAR(result.total.x, 0.0, 1e-15);
  EXPECT_DOUBLE_EQ(result.total.y, 1.0);
  EXPECT_DOUBLE_EQ(result.total.distance, 1.0);
}

TEST(PoseStep, LeavesTheStepBlockAlone) {
  const ReceiveConverter converter(kForward);
  Odometory current;
  current.step.x = 7.0;
  current.step.time = 3.0;
  const Odometory result =
      converter.integrate(current, converter.toWheelStatus(frame(118, 138, 30)));
  EXPECT_EQ(result.step.x, 7.0);
  EXPECT_EQ(result.step.time, 3.0);
}

// --- The whole update --------------------------------------------------

TEST(OdometryUpdate, StepIsInTheRobotFrameAtTheStartHeading) {
  ReceiveConverter converter(kForward);
  const std::vector<ReceiveData> straight(5, frame(118, 138, 1000));
  const Odometory result = converter.convert(straight, poseAt(0.0, 0.0, kPi / 2));
  // Five frames of 195.333 mm each, all along y in the odometry frame.
  EXPECT_DOUBLE_EQ(result.total.y, 0.9766666666666668);
  EXPECT_DOUBLE_EQ(result.step.x, 0.9766666666666668);
  EXPECT_NEAR(result.step.y, 0.0, 1e-15);
  EXPECT_EQ(result.step.theta, 0.0);
  EXPECT_EQ(result.step.time, 5.0);
  EXPECT_DOUBLE_EQ(result.step.distance, 0.9766666666666668);
}

TEST(OdometryUpdate, ArcStepDoesNotDependOnTheStartPose) {
  // The same arc driven from (1, 2) at heading 0.5 looks, in the robot's own
  // frame, exactly like the one driven from the origin at heading 0.
  ReceiveConverter converter(kForward);
  const std::vector<ReceiveData> arc{frame(128, 138, 1000)};
  const Odometory result = converter.convert(arc, poseAt(1.0, 2.0, 0.5));
  EXPECT_NEAR(result.step.x, 0.0956175, 1e-7);
  EXPECT_NEAR(result.step.y, 0.0171984, 1e-7);
  EXPECT_NEAR(result.step.theta, 0.355928, 1e-6);
  EXPECT_EQ(result.step.time, 1.0);
  EXPECT_NEAR(result.step.distance, 0.0971519, 1e-7);
  EXPECT_NEAR(result.total.theta, 0.855928, 1e-6);
}

TEST(OdometryUpdate, WheelRecordsFollowEachUpdate) {
  ReceiveConverter converter(kForward);
  const std::vector<ReceiveData> first{frame(118, 138, 30), frame(128, 130, 30)};
  Odometory odometory = converter.convert(first, Odometory());
  EXPECT_DOUBLE_EQ(converter.step.right, 5.86 + 1.172);
  EXPECT_DOUBLE_EQ(converter.step.left, 5.86);
  EXPECT_DOUBLE_EQ(converter.step.time, 0.06);
  EXPECT_DOUBLE_EQ(converter.total.right, 5.86 + 1.172);

  const std::vector<ReceiveData> second{frame(118, 138, 30)};
  odometory = converter.convert(second, odometory);
  EXPECT_EQ(converter.step.right, 5.86);
  EXPECT_EQ(converter.step.left, 5.86);
  EXPECT_EQ(converter.step.time, 0.03);
  EXPECT_DOUBLE_EQ(converter.total.right, 5.86 + 1.172 + 5.86);
  EXPECT_DOUBLE_EQ(converter.total.left, 5.86 + 5.86);
  EXPECT_DOUBLE_EQ(converter.total.time, 0.09);
  EXPECT_DOUBLE_EQ(odometory.total.time, 0.09);
}

TEST(OdometryUpdate, NoFramesGiveAZeroStepAndKeepTheTotals) {
  ReceiveConverter converter(kForward);
  const std::vector<ReceiveData> some{frame(118, 138, 30)};
  const Odometory before = converter.convert(some, poseAt(1.0, 2.0, 0.5));
  const WheelStatus totalBefore = converter.total;

  const Odometory after = converter.convert({}, before);
  EXPECT_EQ(after.total.x, before.total.x);
  EXPECT_EQ(after.total.y, before.total.y);
  EXPECT_EQ(after.total.theta, before.total.theta);
  EXPECT_EQ(after.total.time, before.total.time);
  EXPECT_EQ(after.total.distance, before.total.distance);
  EXPECT_EQ(after.step.x, 0.0);
  EXPECT_EQ(after.step.y, 0.0);
  EXPECT_EQ(after.step.theta, 0.0);
  EXPECT_EQ(after.step.time, 0.0);
  EXPECT_EQ(after.step.distance, 0.0);
  EXPECT_EQ(converter.step.right, 0.0);
  EXPECT_EQ(converter.step.left, 0.0);
  EXPECT_EQ(converter.step.time, 0.0);
  EXPECT_EQ(converter.total.right, totalBefore.right);
  EXPECT_EQ(converter.total.time, totalBefore.time);
}

TEST(OdometryUpdate, HeadingIsNeverWrapped) {
  ReceiveConverter converter(kForward);
  // Ten turns on the spot of 0.711856 rad each: more than a full circle.
  const std::vector<ReceiveData> spins(10, frame(138, 138, 1000));
  const Odometory result = converter.convert(spins, Odometory());
  EXPECT_GT(result.total.theta, 2 * kPi);
  EXPECT_NEAR(result.total.theta, 7.11856, 1e-5);
  EXPECT_NEAR(result.step.theta, 7.11856, 1e-5);
  // Still unwrapped on the next update.
  const Odometory next = converter.convert(spins, result);
  EXPECT_NEAR(next.total.theta, 14.23712, 1e-5);
}

TEST(OdometryRecord, DefaultIsAllZeroAndCopiesCarryAllTenValues) {
  const Odometory zero;
  for (double v :
       {zero.total.x, zero.total.y, zero.total.theta, zero.total.time, zero.total.distance,
        zero.step.x, zero.step.y, zero.step.theta, zero.step.time, zero.step.distance}) {
    EXPECT_EQ(v, 0.0);
  }
  Odometory source;
  double value = 1.0;
  for (double* field : {&source.total.x, &source.total.y, &source.total.theta, &source.total.time,
                        &source.total.distance, &source.step.x, &source.step.y, &source.step.theta,
                        &source.step.time, &source.step.distance}) {
    *field = value;
    value += 1.0;
  }
  Odometory assigned;
  assigned = source;
  const Odometory copied(source);
  for (const Odometory* o : {static_cast<const Odometory*>(&assigned), &copied}) {
    EXPECT_EQ(o->total.x, 1.0);
    EXPECT_EQ(o->total.y, 2.0);
    EXPECT_EQ(o->total.theta, 3.0);
    EXPECT_EQ(o->total.time, 4.0);
    EXPECT_EQ(o->total.distance, 5.0);
    EXPECT_EQ(o->step.x, 6.0);
    EXPECT_EQ(o->step.y, 7.0);
    EXPECT_EQ(o->step.theta, 8.0);
    EXPECT_EQ(o->step.time, 9.0);
    EXPECT_EQ(o->step.distance, 10.0);
  }
}

}  // namespace
}  // namespace tolvarine_controller
