// The chair model behind the board: commanded speeds, motor response and the
// true pose, checked against closed-form motion.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <memory>
#include <string>
#include <thread>

#include "pty_client.h"
#include "tolvarine_board_sim/simulated_board.h"

namespace board_sim_test {
namespace {

using namespace std::chrono_literals;
using tolvarine_board_sim::BoardOptions;
using tolvarine_board_sim::ChairState;
using tolvarine_board_sim::SimulatedBoard;

// Speeds behind the speed bytes: 24 counts per 2959 mm/s on the right wheel
// and 24 per 2986 mm/s on the left one.
double rightSpeed(int counts) {
  return counts * 24.0 / 2959.0;
}
double leftSpeed(int counts) {
  return counts * 24.0 / 2986.0;
}
constexpr double kTread = 0.5488;
constexpr double kWheelCountUnit = 19.533333333333335 / 1000.0;  // m/s per count

// Where constant wheel speeds take a chair from `from` in `t` seconds.
tolvarine_board_sim::ChairPose arcFrom(const tolvarine_board_sim::ChairPose& from, double right,
                                       double left, double t) {
  const double v = (right + left) / 2;
  const double w = (right - left) / kTread;
  tolvarine_board_sim::ChairPose to = from;
  to.theta = from.theta + w * t;
  to.x = from.x + v / w * (std::sin(to.theta) - std::sin(from.theta));
  to.y = from.y - v / w * (std::cos(to.theta) - std::cos(from.theta));
  to.distance = from.distance + std::fabs(v) * t;
  to.time = from.time + t;
  return to;
}

void expectPoseNear(const tolvarine_board_sim::ChairPose& actual,
                    const tolvarine_board_sim::ChairPose& expected) {
  EXPECT_NEAR(actual.x, expected.x, 1e-9);
  EXPECT_NEAR(actual.y, expected.y, 1e-9);
  EXPECT_NEAR(actual.theta, expected.theta, 1e-9);
  EXPECT_NEAR(actual.distance, expected.distance, 1e-9);
}

class BoardMotion : public ::testing::Test {
 protected:
  void start(const BoardOptions& options) {
    board_ = std::make_unique<SimulatedBoard>(options);
    std::string error;
    ASSERT_TRUE(board_->start(&error)) << error;
    client_ = std::make_unique<PtyClient>(board_->devicePath());
    ASSERT_TRUE(client_->isOpen());
  }

  // Sends a command and returns the state right after the board took it.
  ChairState commandAndObserve(const Bytes& frame) {
    const auto before = board_->validFrameCount();
    EXPECT_TRUE(client_->send(frame));
    EXPECT_TRUE(board_->waitForFrames(before + 1, kPatience));
    return board_->state();
  }

  // Observes again once at least `seconds` of simulated time have passed.
  ChairState observeAfter(const ChairState& from, double seconds) {
    ChairState now = board_->state();
    while (now.pose.time < from.pose.time + seconds) {
      std::this_thread::sleep_for(10ms);
      now = board_->state();
    }
    return now;
  }

  std::unique_ptr<SimulatedBoard> board_;
  std::unique_ptr<PtyClient> client_;
};

BoardOptions instant() {
  BoardOptions options;
  options.maxAcceleration = 0.0;
  options.lagTimeConstant = 0.0;
  return options;
}

TEST_F(BoardMotion, RestsAtTheOriginUntilCommanded) {
  start(BoardOptions());
  const ChairState s0 = commandAndObserve(stopCommand(11));
  const ChairState s1 = observeAfter(s0, 0.1);
  EXPECT_GT(s1.pose.time, s0.pose.time);
  EXPECT_EQ(s1.pose.x, 0.0);
  EXPECT_EQ(s1.pose.y, 0.0);
  EXPECT_EQ(s1.pose.theta, 0.0);
  EXPECT_EQ(s1.pose.distance, 0.0);
  EXPECT_EQ(s1.motors.right, 0.0);
  EXPECT_EQ(s1.motors.left, 0.0);
}

TEST_F(BoardMotion, CirclesWithTheRadiusOfItsWheelSpeeds) {
  start(instant());
  // Right 0x41/150 forward, left 0x40/50 forward: a left-hand circle.
  const ChairState s0 = commandAndObserve(command(0x40, 0x41, 50, 150, 11));
  const double r = rightSpeed(150);
  const double l = leftSpeed(50);
  EXPECT_NEAR(s0.motors.right, r, 1e-12);
  EXPECT_NEAR(s0.motors.left, l, 1e-12);

  const ChairState s1 = observeAfter(s0, 0.4);
  expectPoseNear(s1.pose, arcFrom(s0.pose, r, l, s1.pose.time - s0.pose.time));
  // Both states lie on one circle of radius v / w = 0.2744 (r + l) / (r - l),
  // about 0.41 m, whose centre is to the chair's left.
  const double radius = 0.2744 * (r + l) / (r - l);
  const double cx = s0.pose.x - radius * std::sin(s0.pose.theta);
  const double cy = s0.pose.y + radius * std::cos(s0.pose.theta);
  EXPECT_NEAR(std::hypot(s1.pose.x - cx, s1.pose.y - cy), radius, 1e-9);
  EXPECT_GT(s1.pose.theta, s0.pose.theta);
}

TEST_F(BoardMotion, SpinsOnTheSpot) {
  start(instant());
  // Left 0x41 drives the left wheel backward; equal speed bytes turn the
  // chair almost on the spot (the two gains differ slightly).
  const ChairState s0 = commandAndObserve(command(0x41, 0x41, 62, 62, 11));
  const double r = rightSpeed(62);
  const double l = -leftSpeed(62);
  const ChairState s1 = observeAfter(s0, 0.2);
  const double t = s1.pose.time - s0.pose.time;
  expectPoseNear(s1.pose, arcFrom(s0.pose, r, l, t));
  EXPECT_NEAR(s1.pose.theta - s0.pose.theta, (r - l) / kTread * t, 1e-9);
  EXPECT_LT(std::hypot(s1.pose.x - s0.pose.x, s1.pose.y - s0.pose.y), 0.005 * t);
}

TEST_F(BoardMotion, RunsAlmostStraightAtOneMetrePerSecond) {
  start(instant());
  // The controller's 1 m/s: left 0x40/125, right 0x41/123. The two wheels
  // differ by 7 mm/s, so the run curves very slightly to the right.
  const double r = rightSpeed(123);
  const double l = leftSpeed(125);
  const ChairState s0 = commandAndObserve(command(0x40, 0x41, 125, 123, 11));
  const ChairState s1 = observeAfter(s0, 0.3);
  const double t = s1.pose.time - s0.pose.time;
  expectPoseNear(s1.pose, arcFrom(s0.pose, r, l, t));
  const double dx = s1.pose.x - s0.pose.x;
  const double dy = s1.pose.y - s0.pose.y;
  EXPECT_NEAR(dx, (r + l) / 2 * t, 1e-3 * t);
  EXPECT_LT(dy, 0.0);
  EXPECT_GT(dy, -0.01 * t);

  // After a quarter turn to the left the next leg runs along +y.
  commandAndObserve(command(0x41, 0x41, 62, 62, 12));
  ChairState turned = board_->state();
  while (turned.pose.theta < M_PI / 2) {
    std::this_thread::sleep_for(2ms);
    turned = board_->state();
  }
  const ChairState s2 = commandAndObserve(command(0x40, 0x41, 125, 123, 13));
  const ChairState s3 = observeAfter(s2, 0.3);
  expectPoseNear(s3.pose, arcFrom(s2.pose, r, l, s3.pose.time - s2.pose.time));
  EXPECT_GT(s3.pose.y - s2.pose.y, 0.25);
}

// Speed of a wheel that starts at v0 and runs toward `target` at `accel`,
// after `t` seconds, and the distance it covers meanwhile.
struct Ramp {
  double speed;
  double distance;
};
Ramp ramp(double v0, double target, double accel, double t) {
  const double direction = target >= v0 ? 1.0 : -1.0;
  const double reach = std::fabs(target - v0) / accel;
  if (t <= reach) {
    return {v0 + direction * accel * t, v0 * t + direction * accel * t * t / 2};
  }
  return {target, v0 * reach + direction * accel * reach * reach / 2 + target * (t - reach)};
}

TEST_F(BoardMotion, MotorsRampAtTheAccelerationLimit) {
  BoardOptions options;
  options.maxAcceleration = 2.0;
  options.lagTimeConstant = 0.0;
  start(options);
  const ChairState s0 = commandAndObserve(command(0x40, 0x41, 125, 123, 11));
  const ChairState s1 = observeAfter(s0, 0.2);
  const double t = s1.pose.time - s0.pose.time;
  const Ramp right = ramp(s0.motors.right, rightSpeed(123), 2.0, t);
  const Ramp left = ramp(s0.motors.left, leftSpeed(125), 2.0, t);
  EXPECT_NEAR(s1.motors.right, right.speed, 1e-9);
  EXPECT_NEAR(s1.motors.left, left.speed, 1e-9);
  EXPECT_NEAR(s1.pose.distance - s0.pose.distance, (right.distance + left.distance) / 2, 1e-6);

  // And down again after a stop command.
  const ChairState s2 = commandAndObserve(stopCommand(12));
  const ChairState s3 = observeAfter(s2, 0.2);
  const double t2 = s3.pose.time - s2.pose.time;
  EXPECT_NEAR(s3.motors.right, ramp(s2.motors.right, 0.0, 2.0, t2).speed, 1e-9);
  EXPECT_NEAR(s3.motors.left, ramp(s2.motors.left, 0.0, 2.0, t2).speed, 1e-9);
  EXPECT_NEAR(
      s3.pose.distance - s2.pose.distance,
      (ramp(s2.motors.right, 0.0, 2.0, t2).distance + ramp(s2.motors.left, 0.0, 2.0, t2).distance) /
          2,
      1e-6);
}

TEST_F(BoardMotion, FirstOrderLagFollowsItsExponential) {
  BoardOptions options;
  options.maxAcceleration = 0.0;
  options.lagTimeConstant = 0.1;
  start(options);
  const ChairState s0 = commandAndObserve(command(0x40, 0x41, 125, 123, 11));
  const ChairState s1 = observeAfter(s0, 0.05);
  const double t = s1.pose.time - s0.pose.time;
  const double r = rightSpeed(123);
  const double l = leftSpeed(125);
  EXPECT_NEAR(s1.motors.right, r - (r - s0.motors.right) * std::exp(-t / 0.1), 1e-9);
  EXPECT_NEAR(s1.motors.left, l - (l - s0.motors.left) * std::exp(-t / 0.1), 1e-9);
  EXPECT_LT(s1.motors.right, r);
}

TEST_F(BoardMotion, CarriedCountFractionsAverageOutToTheTrueSpeed) {
  start(instant());
  // Right 0x41/123 and left 0x40/125, both forward: 123 / 123.29166 m/s =
  // 51.0748 counts and 125 / 124.41667 m/s = 51.4336 counts of 19.5333 mm/s.
  // Rounded on its own every report would say 51 and 51.
  const double rightCounts = 123.0 / 123.29166666666666 * 1000.0 / 19.533333333333335;
  const double leftCounts = 125.0 / 124.41666666666669 * 1000.0 / 19.533333333333335;
  const int reports = 100;
  double rightSum = 0.0;
  double leftSum = 0.0;
  std::uint8_t sequence = 11;
  for (int i = 0; i < reports; ++i) {
    ASSERT_TRUE(client_->send(command(0x40, 0x41, 125, 123, sequence++)));
    const Bytes reply = client_->read(9);
    ASSERT_EQ(reply.size(), 9u);
    const int right = reply[4] - 128;
    const int left = 128 - reply[3];
    // Each report is one of the two counts around the true speed.
    EXPECT_TRUE(right == 51 || right == 52) << right;
    EXPECT_TRUE(left == 51 || left == 52) << left;
    rightSum += right;
    leftSum += left;
  }
  // What is not reported is carried, never lost: the sums stay within half a
  // count of the true travel.
  EXPECT_NEAR(rightSum, rightCounts * reports, 0.5 + 1e-9);
  EXPECT_NEAR(leftSum, leftCounts * reports, 0.5 + 1e-9);
}

TEST_F(BoardMotion, ReportedCountsFollowTheRampingMotors) {
  BoardOptions options;
  options.maxAcceleration = 1.0;
  options.carryCountFraction = false;
  start(options);
  // Counts are the motor speeds at the time of the reply, rounded: they can
  // lag the command but never run ahead of the motors by a count or more.
  std::uint8_t sequence = 11;
  int previousRight = 128;
  int previousLeft = 128;
  for (int i = 0; i < 10; ++i) {
    ASSERT_TRUE(client_->send(command(0x40, 0x41, 125, 123, sequence++)));
    const Bytes reply = client_->read(9);
    ASSERT_EQ(reply.size(), 9u);
    const auto motors = board_->motorSpeeds();  // no slower than at the reply
    EXPECT_LE((reply[4] - 128) * kWheelCountUnit, motors.right + kWheelCountUnit / 2);
    EXPECT_LE((128 - reply[3]) * kWheelCountUnit, motors.left + kWheelCountUnit / 2);
    EXPECT_GE(reply[4], previousRight);
    EXPECT_LE(reply[3], previousLeft);
    previousRight = reply[4];
    previousLeft = reply[3];
  }
}

}  // namespace
}  // namespace board_sim_test
