// The parts of the controllers that need no board: clamping, the targets
// that the setters store, the stick mapping, and the behaviour of an
// unconnected controller.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

#include "test_access.h"

namespace tolvarine_controller {
namespace {

using Peer = AutoControllerTestPeer;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

struct Targets {
  double right;
  double left;
};

Targets targetsOf(AutoController& controller) {
  Targets t{};
  Peer::targets(controller, &t.right, &t.left);
  return t;
}

int countLines(const std::string& text) {
  int lines = 0;
  for (char c : text) {
    lines += c == '\n' ? 1 : 0;
  }
  return lines;
}

TEST(Clip, ClampsTheThirdArgumentIntoTheFirstTwo) {
  AutoController controller;
  EXPECT_EQ(Peer::clip(controller, 0, 10, 5), 5);
  EXPECT_EQ(Peer::clip(controller, 0, 10, 15), 10);
  EXPECT_EQ(Peer::clip(controller, 0, 10, -3), 0);
  EXPECT_EQ(Peer::clip(controller, -31439.374999999996, 31439.374999999996, 40000),
            31439.374999999996);
  EXPECT_EQ(Peer::clip(controller, -31439.374999999996, 31439.374999999996, -40000),
            -31439.374999999996);
}

TEST(AutoControllerTargets, UnsafeLimitsAreRefusedAtConstruction) {
  // Negative or not a number would remove the ramp, 0 would never move, and
  // a negative speed would turn the stick around.
  for (const double bad : {-0.7, 0.0, std::nan(""), HUGE_VAL}) {
    SCOPED_TRACE(bad);
    EXPECT_THROW(AutoController{bad}, std::invalid_argument);
    EXPECT_THROW(JoyStickController(0.5, bad), std::invalid_argument);
    EXPECT_THROW(JoyStickController{bad}, std::invalid_argument);
    JoyStickController stick;
    EXPECT_THROW(stick.setMaxSpeed(bad), std::invalid_argument);
    stick.setSendDataXY(0.0, 1.0);
    EXPECT_EQ(targetsOf(stick).right, 500.0) << "a refused speed changed the old one";
  }
  EXPECT_NO_THROW(AutoController{1e-3});
}

TEST(AutoControllerTargets, ConstructionStartsAtRestWithoutAThread) {
  AutoController controller;
  const Targets t = targetsOf(controller);
  EXPECT_EQ(t.right, 0.0);
  EXPECT_EQ(t.left, 0.0);
  EXPECT_FALSE(Peer::hasControlThread(controller));
  EXPECT_FALSE(Peer::threadRunning(controller));
  EXPECT_FALSE(controller.isInitialized());
}

TEST(AutoControllerTargets, WheelVelocitiesAreStoredInMillimetresPerSecond) {
  AutoController controller;
  controller.setSendDataVRL(0.5, -0.25);
  const Targets t = targetsOf(controller);
  EXPECT_EQ(t.right, 500.0);
  EXPECT_EQ(t.left, -250.0);
}

TEST(AutoControllerTargets, RadiusAndSpeed) {
  AutoController controller;
  // omega = 0.5 rad/s about a centre 1 m to the left: the wheels run on
  // radii of 1274.4 and 725.6 mm.
  controller.setSendDataRV(1.0, 0.5);
  Targets t = targetsOf(controller);
  EXPECT_DOUBLE_EQ(t.right, 637.2);
  EXPECT_DOUBLE_EQ(t.left, 362.8);

  controller.setSendDataRV(-1.0, 0.5);
  t = targetsOf(controller);
  EXPECT_DOUBLE_EQ(t.right, 362.8);
  EXPECT_DOUBLE_EQ(t.left, 637.2);

  // Backwards on the same circle.
  controller.setSendDataRV(1.0, -0.5);
  t = targetsOf(controller);
  EXPECT_DOUBLE_EQ(t.right, -637.2);
  EXPECT_DOUBLE_EQ(t.left, -362.8);
}

TEST(AutoControllerTargets, EndlessRadiusDrivesStraight) {
  AutoController controller;
  for (double radius : {kInf, -kInf}) {
    controller.setSendDataRV(radius, 0.3);
    const Targets t = targetsOf(controller);
    EXPECT_DOUBLE_EQ(t.right, 300.0) << radius;
    EXPECT_DOUBLE_EQ(t.left, 300.0) << radius;
  }
}

// Impossible commands stop the chair (the ramp then brings it down) and say
// so in one line that names what was rejected.
TEST(AutoControllerTargets, ImpossibleCommandsStopAndAreReported) {
  struct Case {
    const char* name;
    void (*apply)(AutoController&);
    const char* mentions;
  };
  const Case cases[] = {
      {"VRL NaN right", [](AutoController& c) { c.setSendDataVRL(kNaN, 0.2); }, "nan"},
      {"VRL infinite left", [](AutoController& c) { c.setSendDataVRL(0.2, -kInf); }, "-inf"},
      {"VRL overflowing", [](AutoController& c) { c.setSendDataVRL(1e306, 0.2); }, "1e+306"},
      {"RV radius 0", [](AutoController& c) { c.setSendDataRV(0.0, 0.5); }, "radius=0"},
      {"RV radius -0", [](AutoController& c) { c.setSendDataRV(-0.0, 0.5); }, "radius=-0"},
      {"RV NaN radius", [](AutoController& c) { c.setSendDataRV(kNaN, 0.5); }, "nan"},
      {"RV NaN velocity", [](AutoController& c) { c.setSendDataRV(1.0, kNaN); }, "nan"},
      {"RV infinite velocity", [](AutoController& c) { c.setSendDataRV(1.0, kInf); }, "inf"},
      {"RV infinite both", [](AutoController& c) { c.setSendDataRV(kInf, kInf); }, "inf"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    AutoController controller;
    controller.setSendDataVRL(0.4, 0.3);
    testing::internal::CaptureStderr();
    c.apply(controller);
    const std::string printed = testing::internal::GetCapturedStderr();
    const Targets t = targetsOf(controller);
    EXPECT_EQ(t.right, 0.0);
    EXPECT_EQ(t.left, 0.0);
    EXPECT_EQ(countLines(printed), 1) << printed;
    EXPECT_NE(printed.find(c.mentions), std::string::npos) << printed;
  }
}

// The component hands the same command to the controller every cycle until a
// new one arrives: a bad one must not print a line 33 times a second.
TEST(AutoControllerTargets, ARepeatedImpossibleCommandIsReportedOnce) {
  AutoController controller;
  testing::internal::CaptureStderr();
  for (int i = 0; i < 5; ++i) {
    controller.setSendDataVRL(kNaN, 0.2);
  }
  controller.setSendDataRV(0.0, 0.5);  // still rejecting: no new line
  EXPECT_EQ(countLines(testing::internal::GetCapturedStderr()), 1);

  // A drivable command ends the run; the next bad one is reported again.
  controller.setSendDataVRL(0.3, 0.3);
  EXPECT_EQ(targetsOf(controller).right, 300.0);
  testing::internal::CaptureStderr();
  controller.setSendDataVRL(0.3, kInf);
  controller.setSendDataVRL(0.3, kInf);
  EXPECT_EQ(countLines(testing::internal::GetCapturedStderr()), 1);
  EXPECT_EQ(targetsOf(controller).right, 0.0);
}

TEST(AutoControllerTargets, ValidCommandsPrintNothing) {
  AutoController controller;
  testing::internal::CaptureStderr();
  controller.setSendDataVRL(0.4, 0.3);
  controller.setSendDataRV(2.0, 0.3);
  controller.setSendDataRV(kInf, 0.3);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

// --- Stick mapping (maxSpeed 0.5) ---------------------------------------

struct StickCase {
  double x;
  double y;
  double right;  // m/s
  double left;   // m/s
};

TEST(JoyStick, MapsTheStickOntoWheelTargets) {
  const StickCase cases[] = {
      {0.0, 1.0, 0.5, 0.5},        // straight ahead
      {1.0, 0.0, -0.25, 0.25},     // turn right on the spot
      {-1.0, 0.0, 0.25, -0.25},    // turn left on the spot
      {0.6, 0.8, 0.4, 0.5},        // forward right: left wheel outside
      {-0.6, 0.8, 0.5, 0.4},       // forward left: right wheel outside
      {0.6, -0.8, -0.4, -0.5},     // backwards
      {-0.6, -0.8, -0.5, -0.4},    // backwards, other side
      {0.5, 0.05, -0.125, 0.125},  // y in the dead band: on the spot
      {0.09, 0.09, 0.0, 0.0},      // both in the dead band
      {0.1, 0.0, -0.025, 0.025},   // exactly on the bound: kept
      {0.0, 0.1, 0.05, 0.05},
  };
  for (const StickCase& c : cases) {
    SCOPED_TRACE(testing::Message() << "stick (" << c.x << ", " << c.y << ")");
    JoyStickController controller;
    controller.setSendDataXY(c.x, c.y);
    const Targets t = targetsOf(controller);
    EXPECT_DOUBLE_EQ(t.right, c.right * 1000);
    EXPECT_DOUBLE_EQ(t.left, c.left * 1000);
  }
}

TEST(JoyStick, SidewaysDeadBandStillLengthensTheOuterWheel) {
  JoyStickController controller;
  controller.setSendDataXY(0.05, 0.5);
  const Targets t = targetsOf(controller);
  EXPECT_DOUBLE_EQ(t.right, 250.0);
  // The stick length 0.502494... was taken before x fell into the dead band.
  EXPECT_DOUBLE_EQ(t.left, std::sqrt(0.05 * 0.05 + 0.5 * 0.5) * 0.5 * 1000);
  EXPECT_NEAR(t.left, 251.247, 1e-3);
}

TEST(JoyStick, CentreIsRest) {
  JoyStickController controller;
  controller.setSendDataVRL(0.3, 0.3);
  controller.setSendDataXY(0.0, 0.0);
  const Targets t = targetsOf(controller);
  EXPECT_EQ(t.right, 0.0);  // a negative zero, which still counts as rest
  EXPECT_TRUE(std::signbit(t.right));
  EXPECT_EQ(t.left, 0.0);
}

TEST(JoyStick, NoWheelExceedsMaxSpeedBeyondTheUnitCircle) {
  JoyStickController controller;
  controller.setSendDataXY(1.0, 1.0);
  Targets t = targetsOf(controller);
  // Taken on the unit circle: inner wheel 0.707..., outer wheel 1, times 0.5.
  EXPECT_DOUBLE_EQ(t.right, std::sqrt(0.5) * 0.5 * 1000);
  EXPECT_DOUBLE_EQ(t.left, 500.0);

  for (double x = -3.0; x <= 3.0; x += 0.25) {
    for (double y = -3.0; y <= 3.0; y += 0.25) {
      controller.setSendDataXY(x, y);
      t = targetsOf(controller);
      EXPECT_LE(std::fabs(t.right), 500.0 + 1e-9) << x << ", " << y;
      EXPECT_LE(std::fabs(t.left), 500.0 + 1e-9) << x << ", " << y;
    }
  }

  // Huge deflections whose squares overflow still point the right way.
  controller.setSendDataXY(0.0, 1e200);
  t = targetsOf(controller);
  EXPECT_DOUBLE_EQ(t.right, 500.0);
  EXPECT_DOUBLE_EQ(t.left, 500.0);
  controller.setSendDataXY(-1e200, 0.0);
  t = targetsOf(controller);
  EXPECT_DOUBLE_EQ(t.right, 250.0);
  EXPECT_DOUBLE_EQ(t.left, -250.0);
}

TEST(JoyStick, MaxSpeedAppliesFromTheNextStickPosition) {
  JoyStickController controller;
  controller.setSendDataXY(0.0, 1.0);
  controller.setMaxSpeed(1.0);
  Targets t = targetsOf(controller);
  EXPECT_EQ(t.right, 500.0);
  EXPECT_EQ(t.left, 500.0);
  controller.setSendDataXY(0.0, 1.0);
  t = targetsOf(controller);
  EXPECT_EQ(t.right, 1000.0);
  EXPECT_EQ(t.left, 1000.0);

  JoyStickController slow(0.2);
  slow.setSendDataXY(0.0, -1.0);
  t = targetsOf(slow);
  EXPECT_DOUBLE_EQ(t.right, -200.0);
  EXPECT_DOUBLE_EQ(t.left, -200.0);
}

TEST(JoyStick, NonFiniteStickStopsAndIsReportedOnce) {
  for (const StickCase& c :
       {StickCase{kNaN, 0.5, 0, 0}, StickCase{0.5, kInf, 0, 0}, StickCase{-kInf, kNaN, 0, 0}}) {
    SCOPED_TRACE(testing::Message() << "stick (" << c.x << ", " << c.y << ")");
    JoyStickController controller;
    controller.setSendDataXY(0.0, 1.0);
    testing::internal::CaptureStderr();
    controller.setSendDataXY(c.x, c.y);
    controller.setSendDataXY(c.x, c.y);  // a stick stuck on a bad value
    const std::string printed = testing::internal::GetCapturedStderr();
    const Targets t = targetsOf(controller);
    EXPECT_EQ(t.right, 0.0);
    EXPECT_EQ(t.left, 0.0);
    EXPECT_EQ(countLines(printed), 1) << printed;
    EXPECT_NE(printed.find("setSendDataXY"), std::string::npos) << printed;
  }
}

// --- An unconnected controller --------------------------------------------

TEST(Unconnected, PoseOperationsWorkAtAnyTime) {
  Controller controller;
  controller.initRobotPose(1.0, 2.0, 0.5);
  Odometory o = controller.getOdometory();
  EXPECT_EQ(o.total.x, 1.0);
  EXPECT_EQ(o.total.y, 2.0);
  EXPECT_EQ(o.total.theta, 0.5);
  EXPECT_EQ(o.total.time, 0.0);
  EXPECT_EQ(o.total.distance, 0.0);
  EXPECT_EQ(o.step.x, 0.0);

  controller.resetOdometory();
  o = controller.getOdometory();
  EXPECT_EQ(o.total.x, 0.0);
  EXPECT_EQ(o.total.y, 0.0);
  EXPECT_EQ(o.total.theta, 0.0);
}

TEST(Unconnected, SendsAndRenewalsDoNothingAndReturnAtOnce) {
  for (int kind = 0; kind < 3; ++kind) {
    SCOPED_TRACE(kind);
    InspectableController plain;
    InspectableAutoController automatic;
    InspectableJoyStickController joystick;
    Controller* controllers[] = {&plain, &automatic, &joystick};
    Controller& controller = *controllers[kind];
    controller.initRobotPose(1.0, 2.0, 0.5);

    const auto start = std::chrono::steady_clock::now();
    controller.setSendData(SendData(), true);
    controller.setSendDataRV(1.0, 0.5, true);
    controller.setSendDataVRL(0.1, 0.1, true);
    const Odometory waited = controller.renewOdometory(true);
    const Odometory polled = controller.renewOdometory(false);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, std::chrono::seconds(1));

    for (const Odometory& o : {waited, polled}) {
      EXPECT_EQ(o.total.x, 1.0);
      EXPECT_EQ(o.total.y, 2.0);
      EXPECT_EQ(o.total.theta, 0.5);
      EXPECT_EQ(o.step.x, 0.0);
      EXPECT_EQ(o.step.time, 0.0);
    }
    const WheelStatus step = controller.getStepWheelStatus();
    const WheelStatus total = controller.getTotalWheelStatus();
    EXPECT_EQ(step.time, 0.0);
    EXPECT_EQ(step.right, 0.0);
    EXPECT_EQ(total.left, 0.0);
    EXPECT_FALSE(controller.isInitialized());
  }
}

TEST(Unconnected, FinalizeReleasesNothingAndSucceeds) {
  InspectableController controller;
  EXPECT_TRUE(controller.finalize());
  EXPECT_TRUE(controller.finalize());
  EXPECT_TRUE(controller.allReleased());
  EXPECT_FALSE(controller.isInitialized());

  InspectableAutoController automatic;
  EXPECT_TRUE(automatic.finalize());
  EXPECT_TRUE(automatic.allReleased());
}

TEST(Unconnected, DestroyingANeverInitialisedControllerReturnsAtOnce) {
  const auto start = std::chrono::steady_clock::now();
  {
    AutoController automatic;
    JoyStickController joystick;
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
}

TEST(Unconnected, MissingDeviceFailsWithTheConnectorMessageAndKeepsNothing) {
  InspectableAutoController controller;
  controller.initRobotPose(3.0, 4.0, 1.0);
  testing::internal::CaptureStderr();
  const bool ok = controller.initialize("/nonexistent/tolvarine-test-port", -1);
  const std::string printed = testing::internal::GetCapturedStderr();
  EXPECT_FALSE(ok);
  EXPECT_NE(printed.find("connector error: serial port can not open\n"), std::string::npos)
      << printed;
  EXPECT_EQ(printed.find("wait for wheel chair..."), std::string::npos) << printed;
  EXPECT_TRUE(controller.allReleased());
  EXPECT_FALSE(controller.isInitialized());
  EXPECT_FALSE(AutoControllerTestPeer::hasControlThread(controller));
  EXPECT_FALSE(AutoControllerTestPeer::threadRunning(controller));
  // The pose is the controller's, not the link's.
  EXPECT_EQ(controller.getOdometory().total.x, 3.0);

  // And it may try again.
  testing::internal::CaptureStderr();
  EXPECT_FALSE(controller.initialize("/nonexistent/tolvarine-test-port", -1));
  testing::internal::GetCapturedStderr();
  EXPECT_TRUE(controller.allReleased());
}

}  // namespace
}  // namespace tolvarine_controller
