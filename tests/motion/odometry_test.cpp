// Wheel counts to wheel travel and pose. The expected figures are worked by
// hand: one count off the centre of 128 is 293/15 = 19.5333 mm/s, the tread
// is 548.8 mm, and an arc is a circle about the instantaneous centre.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "tolvarine_controller/receive_converter.h"

namespace tolvarine_controller {
namespace {

constexpr int kForward = -1;
constexpr double kPi = 3.14159265358979323846;

ReceiveData frame(std::uint8_t wheelSpeed1, std::uint8_t wheelSpeed2, std::int32_t elapsedMs) {
  ReceiveData data;
  data.isValid = true;
  data.wheelSpeed1 = wheelSpeed1;
  data.wheelSpeed2 = wheelSpeed2;
  data.elapsed = elapsedMs;
  return data;
}

struct TravelCase {
  int direction;
  std::uint8_t speed1, speed2;
  std::int32_t elapsedMs;
  double right, left, time;  // mm, mm, s
};

TEST(WheelTravel, CountsToMillimetres) {
  const TravelCase cases[] = {
      // 10 counts either side for 30 ms: 10 * 19.5333 * 0.03 = 5.86 mm.
      {kForward, 118, 138, 30, 5.86, 5.86, 0.03},
      {1, 118, 138, 30, -5.86, -5.86, 0.03},  // the reversed mounting runs backwards
      // Forward: byte 4 is the right wheel (forward above 128), byte 3 the
      // left one (forward below). Reversed: byte 3 is the right wheel.
      {kForward, 128, 138, 1000, 195.33333333333334, 0.0, 1.0},
      {kForward, 138, 128, 1000, 0.0, -195.33333333333334, 1.0},
      {1, 138, 128, 1000, 195.33333333333334, 0.0, 1.0},
      {0, 138, 128, 1000, 195.33333333333334, 0.0, 1.0},  // any direction but -1 is reversed
      {2, 128, 138, 1000, 0.0, -195.33333333333334, 1.0},
      // Dead band: both counts within 128 +- 1 stop the wheels, not the time.
      {kForward, 127, 129, 30, 0.0, 0.0, 0.03},
      {kForward, 129, 127, 30, 0.0, 0.0, 0.03},
      {kForward, 128, 130, 30, 1.172, 0.0, 0.03},       // 2 counts: outside
      {kForward, 129, 130, 30, 1.172, -0.586, 0.03},    // one wheel outside is enough
      {kForward, 128, 128, -1, 0.0, 0.0, 4294967.295},  // elapsed is unsigned
  };
  for (const TravelCase& c : cases) {
    SCOPED_TRACE(testing::Message() << "direction " << c.direction << ", counts " << int(c.speed1)
                                    << "/" << int(c.speed2));
    const WheelStatus wheel =
        ReceiveConverter(c.direction).toWheelStatus(frame(c.speed1, c.speed2, c.elapsedMs));
    EXPECT_NEAR(wheel.right, c.right, 1e-9);
    EXPECT_NEAR(wheel.left, c.left, 1e-9);
    EXPECT_DOUBLE_EQ(wheel.time, c.time);
  }
}

struct PoseCase {
  const char* name;
  int direction;
  std::vector<ReceiveData> frames;
  Odometory::Block start;  // x, y, theta, time, distance
  Odometory::Block total;  // expected after the update
  Odometory::Block step;
};

// The arc of 128/138 for 1 s: the right wheel runs 195.333 mm, the left one
// stands, so the chair turns about the left wheel on a circle of radius
// 0.2744 m by 195.333 / 548.8 = 0.355928 rad: ahead 0.2744 sin(0.355928) =
// 0.0956175 m, to the left 0.2744 (1 - cos 0.355928) = 0.0171984 m, a chord of
// 0.0971519 m (the arc would be 0.0976667 m).
TEST(Odometry, UpdatesPoseAndStep) {
  const ReceiveData straight = frame(118, 138, 30);
  const ReceiveData arc = frame(128, 138, 1000);
  const ReceiveData spin = frame(138, 138, 1000);  // +-195.333 mm: 0.711856 rad on the spot
  const Odometory::Block kArc = {0.0956175, 0.0171984, 0.355928, 1, 0.0971519};
  // clang-format off
  const PoseCase cases[] = {
      {"straight", kForward, {straight}, {},
       {0.00586, 0, 0, 0.03, 0.00586}, {0.00586, 0, 0, 0.03, 0.00586}},
      {"backwards still adds path", 1, {straight}, {},
       {-0.00586, 0, 0, 0.03, 0.00586}, {-0.00586, 0, 0, 0.03, 0.00586}},
      {"arc from the origin", kForward, {arc}, {}, kArc, kArc},
      // The same arc from (1, 2) at heading 0.5: the total is that arc turned
      // by 0.5 rad; the step, in the robot frame, is the arc itself.
      {"arc at heading 0.5", kForward, {arc}, {1, 2, 0.5, 0, 0},
       {1.0756669, 2.0609345, 0.855928, 1, 0.0971519}, kArc},
      {"spin on the spot", kForward, {spin}, {1, 2, 0.25, 0, 0},
       {1, 2, 0.961856, 1, 0}, {0, 0, 0.711856, 1, 0}},
      // Five frames of 195.333 mm along y: 0.976667 m, straight ahead for the robot.
      {"straight at heading pi/2", kForward, std::vector<ReceiveData>(5, frame(118, 138, 1000)),
       {0, 0, kPi / 2, 0, 0},
       {0, 0.9766667, kPi / 2, 5, 0.9766667}, {0.9766667, 0, 0, 5, 0.9766667}},
      // Ten spins: more than a full turn, and the heading is not wrapped.
      {"heading not wrapped", kForward, std::vector<ReceiveData>(10, spin), {},
       {0, 0, 7.118562, 10, 0}, {0, 0, 7.118562, 10, 0}},
      {"no frames", kForward, {}, {1, 2, 0.5, 3, 4}, {1, 2, 0.5, 3, 4}, {0, 0, 0, 0, 0}},
  };
  // clang-format on
  for (const PoseCase& c : cases) {
    SCOPED_TRACE(c.name);
    Odometory previous;
    previous.total = c.start;
    previous.step = {9, 9, 9, 9, 9};  // overwritten by every update
    ReceiveConverter converter(c.direction);
    const Odometory o = converter.convert(c.frames, previous);
    const double got[] = {o.total.x, o.total.y, o.total.theta, o.total.time, o.total.distance,
                          o.step.x,  o.step.y,  o.step.theta,  o.step.time,  o.step.distance};
    const double want[] = {c.total.x, c.total.y, c.total.theta, c.total.time, c.total.distance,
                           c.step.x,  c.step.y,  c.step.theta,  c.step.time,  c.step.distance};
    const char* names[] = {"total.x", "total.y", "total.theta", "total.time", "total.distance",
                           "step.x",  "step.y",  "step.theta",  "step.time",  "step.distance"};
    for (int i = 0; i < 10; ++i) {
      EXPECT_NEAR(got[i], want[i], 1e-6) << names[i];
    }
  }
}

TEST(Odometry, OneStepLeavesTheStepBlockAlone) {
  Odometory current;
  current.step.x = 7.0;
  const Odometory o =
      ReceiveConverter(kForward).integrate(current, {0.03, 5.86, 5.86});  // time, right, left
  EXPECT_EQ(o.step.x, 7.0);
  EXPECT_NEAR(o.total.x, 0.00586, 1e-12);
}

TEST(Odometry, WheelRecordsFollowEachUpdate) {
  ReceiveConverter converter(kForward);
  const Odometory first = converter.convert({frame(118, 138, 30), frame(128, 130, 30)}, {});
  EXPECT_NEAR(converter.step.right, 5.86 + 1.172, 1e-9);
  EXPECT_NEAR(converter.step.left, 5.86, 1e-9);
  EXPECT_NEAR(converter.step.time, 0.06, 1e-12);

  converter.convert({frame(118, 138, 30)}, first);
  EXPECT_NEAR(converter.step.right, 5.86, 1e-9);
  EXPECT_NEAR(converter.total.right, 5.86 + 1.172 + 5.86, 1e-9);
  EXPECT_NEAR(converter.total.left, 2 * 5.86, 1e-9);
  EXPECT_NEAR(converter.total.time, 0.09, 1e-12);

  converter.convert({}, first);
  EXPECT_EQ(converter.step.right, 0.0);
  EXPECT_EQ(converter.step.time, 0.0);
  EXPECT_NEAR(converter.total.time, 0.09, 1e-12);
}

}  // namespace
}  // namespace tolvarine_controller
