// End to end: the automatic controller drives a 2 m square on the simulated
// board, steered by its own odometry, and the odometry is compared with the
// board's true pose.
//
// How far the odometry may be off follows from the wheel-count quantization:
// the board reports each wheel's speed as a whole count of 19.53 mm/s,
// rounded after adding the fraction it left out of the previous report, so a
// reported speed is within one count (half for the rounding, half for the
// carried fraction) of the true one; while the speed changes (ramps), the
// count sampled at the reply also differs from the frame's mean speed by up to
// the change since the previous frame; and when both wheels report within one
// count of standstill the odometry takes them as 0, which hides up to 2 counts
// (39.1 mm/s). Summed frame by frame
// over the run these give bounds for the path length and the heading of each
// leg; the position bound propagates the heading bound along the path.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <iostream>
#include <vector>

#include "board_helpers.h"
#include "tolvarine_controller/auto_controller.h"

namespace tolvarine_controller {
namespace {

using namespace testing_board;
using namespace std::chrono_literals;
using tolvarine_board_sim::ChairPose;

constexpr double kPi = 3.14159265358979323846;
constexpr double kSide = 2.0;          // m
constexpr double kSpeed = 0.4;         // m/s along the sides
constexpr double kTurnSpeed = 0.3;     // m/s of each wheel, opposite senses, in the corners
constexpr double kAcceleration = 0.7;  // m/s^2, the controller's default
constexpr double kTreadMm = 548.8;
constexpr double kCountMmS = 293.0 / 15.0;  // 19.53 mm/s per count

// Error bounds accumulated frame by frame.
struct Bounds {
  double distance = 0.0;  // m
  double heading = 0.0;   // rad
  double position = 0.0;  // m
};

struct Leg {
  const char* kind;
  Odometory odometryStart;
  Odometory odometryEnd;
  ChairPose truthStart;
  ChairPose truthEnd;
  Bounds bounds;  // of this leg alone
};

class SquareDriver {
 public:
  SquareDriver(AutoController& controller, SimulatedBoard& board)
      : controller_(controller), board_(board) {}

  // Straight ahead until `length` is covered, counting the ramp down.
  void straight(double length) {
    Leg leg = beginLeg("straight");
    controller_.setSendDataVRL(kSpeed, kSpeed);
    const double braking = kSpeed * kSpeed / (2 * kAcceleration);
    while (std::hypot(odometory_.total.x - leg.odometryStart.total.x,
                      odometory_.total.y - leg.odometryStart.total.y) < length - braking) {
      renew();
      ASSERT_LT(odometory_.total.time - leg.odometryStart.total.time, 30.0) << "no progress";
    }
    stop();
    endLeg(leg);
  }

  // On the spot, counter-clockwise, until `angle` is turned.
  void turnLeft(double angle) {
    Leg leg = beginLeg("turn");
    controller_.setSendDataVRL(kTurnSpeed, -kTurnSpeed);
    const double omega = 2 * kTurnSpeed * 1000 / kTreadMm;
    const double braking = omega * (kTurnSpeed / kAcceleration) / 2;
    while (odometory_.total.theta - leg.odometryStart.total.theta < angle - braking) {
      renew();
      ASSERT_LT(odometory_.total.time - leg.odometryStart.total.time, 30.0) << "no progress";
    }
    stop();
    endLeg(leg);
  }

  const std::vector<Leg>& legs() const { return legs_; }
  const Bounds& total() const { return total_; }
  const Odometory& odometory() const { return odometory_; }

 private:
  Leg beginLeg(const char* kind) {
    Leg leg;
    leg.kind = kind;
    leg.odometryStart = controller_.getOdometory();
    leg.truthStart = board_.truePose();
    odometory_ = leg.odometryStart;
    legBounds_ = Bounds();
    return leg;
  }

  void endLeg(Leg& leg) {
    leg.odometryEnd = odometory_;
    leg.truthEnd = board_.truePose();
    leg.bounds = legBounds_;
    legs_.push_back(leg);
  }

  void renew() {
    odometory_ = controller_.renewOdometory(true);
    const WheelStatus wheels = controller_.getStepWheelStatus();
    if (wheels.time <= 0.0) {
      return;
    }
    const double right = wheels.right / wheels.time;  // mm/s as reported
    const double left = wheels.left / wheels.time;
    double errorRight;
    double errorLeft;
    if (right == 0.0 && left == 0.0) {
      errorRight = errorLeft = 2.0 * kCountMmS;  // dead band (or rest)
    } else {
      errorRight = kCountMmS + std::fabs(right - lastRight_);
      errorLeft = kCountMmS + std::fabs(left - lastLeft_);
    }
    lastRight_ = right;
    lastLeft_ = left;
    // Position error grows by the distance error and by travelling with the
    // heading error accumulated so far.
    const double distanceError = (errorRight + errorLeft) / 2 * wheels.time / 1000;
    const double headingError = (errorRight + errorLeft) * wheels.time / kTreadMm;
    for (Bounds* b : {&legBounds_, &total_}) {
      b->position += distanceError + odometory_.step.distance * b->heading;
      b->distance += distanceError;
      b->heading += headingError;
    }
  }

  // Targets to zero, then wait until the odometry has seen the chair at rest
  // for a few frames (the ramp down takes about 0.6 s).
  void stop() {
    controller_.setSendDataVRL(0.0, 0.0);
    int still = 0;
    for (int cycle = 0; cycle < 200 && still < 5; ++cycle) {
      renew();
      still = odometory_.step.distance == 0.0 && odometory_.step.theta == 0.0 ? still + 1 : 0;
    }
    ASSERT_EQ(still, 5) << "the chair did not come to rest";
  }

  AutoController& controller_;
  SimulatedBoard& board_;
  Odometory odometory_;
  double lastRight_ = 0.0;
  double lastLeft_ = 0.0;
  Bounds legBounds_;
  Bounds total_;
  std::vector<Leg> legs_;
};

TEST(SquareDrive, OdometryFollowsTheTruePoseWithinTheQuantization) {
  SimulatedBoard board;
  ASSERT_TRUE(startBoard(board));
  AutoController controller;
  ASSERT_TRUE(controller.initialize(board.devicePath(), -1));
  // The chair stood still through the settling pause: both frames start at
  // the origin.
  controller.renewOdometory(false);
  controller.initRobotPose(0.0, 0.0, 0.0);

  SquareDriver driver(controller, board);
  for (int side = 0; side < 4; ++side) {
    driver.straight(kSide);
    ASSERT_FALSE(HasFatalFailure());
    driver.turnLeft(kPi / 2);
    ASSERT_FALSE(HasFatalFailure());
  }

  for (std::size_t i = 0; i < driver.legs().size(); ++i) {
    const Leg& leg = driver.legs()[i];
    SCOPED_TRACE(testing::Message() << "leg " << i + 1 << " (" << leg.kind << ")");
    const double odometryDistance =
        leg.odometryEnd.total.distance - leg.odometryStart.total.distance;
    const double truthDistance = leg.truthEnd.distance - leg.truthStart.distance;
    const double odometryTurn = leg.odometryEnd.total.theta - leg.odometryStart.total.theta;
    const double truthTurn = leg.truthEnd.theta - leg.truthStart.theta;
    std::cout << "leg " << i + 1 << " " << leg.kind << ": distance " << odometryDistance
              << " m (true " << truthDistance << ", bound +-" << leg.bounds.distance << "), turn "
              << odometryTurn << " rad (true " << truthTurn << ", bound +-" << leg.bounds.heading
              << ")" << std::endl;
    EXPECT_NEAR(odometryDistance, truthDistance, leg.bounds.distance);
    EXPECT_NEAR(odometryTurn, truthTurn, leg.bounds.heading);
  }

  const Odometory o = driver.odometory();
  const ChairPose truth = board.truePose();
  const double positionError = std::hypot(o.total.x - truth.x, o.total.y - truth.y);
  std::cout << "square of " << o.total.distance << " m in " << o.total.time << " s: odometry ("
            << o.total.x << ", " << o.total.y << ", " << o.total.theta << "), true (" << truth.x
            << ", " << truth.y << ", " << truth.theta << "); position error " << positionError
            << " m (bound " << driver.total().position << "), heading error "
            << o.total.theta - truth.theta << " rad (bound +-" << driver.total().heading
            << "), path length error " << o.total.distance - truth.distance << " m (bound +-"
            << driver.total().distance << ")" << std::endl;
  EXPECT_NEAR(o.total.distance, truth.distance, driver.total().distance);
  EXPECT_NEAR(o.total.theta, truth.theta, driver.total().heading);
  EXPECT_LE(positionError, driver.total().position);
}

}  // namespace
}  // namespace tolvarine_controller
