#include "tolvarine_controller/send_function_converter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace tolvarine_controller {
namespace {

constexpr std::uint8_t kFwd = 0x41;
constexpr std::uint8_t kBack = 0x40;

SendFunctionConverter makeConverter(int direction) {
  SendFunctionConverter c;
  c.direction = direction;
  return c;
}

void expectFixedBytes(const SendData& d) {
  EXPECT_EQ(d.option1, 0xCC);
  EXPECT_EQ(d.option2, 0x1A);
  EXPECT_EQ(d.option3, 0x1A);
  EXPECT_EQ(d.option4, 0x64);
  EXPECT_EQ(d.option5, 0xFF);
  EXPECT_EQ(d.sequence, 0);
}

TEST(SendFunctionConverter, GainsAndLimitsAreTheExactDoubles) {
  const SendFunctionConverter c;
  EXPECT_EQ(c.rightGain, 123.29166666666666);
  EXPECT_EQ(c.leftGain, 124.41666666666669);
  EXPECT_EQ(c.rightOffset, 0.0);
  EXPECT_EQ(c.leftOffset, 0.0);
  // The speeds at which a byte reaches 255 counts: 255 / 123.2916... and
  // 255 / 124.4166... m/s.
  EXPECT_NEAR(c.rightMax, 2068.2663, 1e-4);
  EXPECT_NEAR(c.leftMax, 2049.5646, 1e-4);
  EXPECT_EQ(c.rightMin, -c.rightMax);
  EXPECT_EQ(c.leftMin, -c.leftMax);
  // At the limits the bytes are full: a ramp that stops there loses nothing
  // a frame could show, and the first step back is visible on the wire.
  auto forward = makeConverter(-1);
  for (const SendData& d : {forward.convertVRL(c.rightMax, -c.leftMax),
                            forward.convertVRL(c.rightMin, -c.leftMin)}) {
    EXPECT_EQ(d.rightSpeed, 255);
    EXPECT_EQ(d.leftSpeed, 255);
  }
  const SendData stepBack = forward.convertVRL(c.rightMax - 21, -(c.leftMax - 21));
  EXPECT_EQ(stepBack.rightSpeed, 252);  // floor(2.04727 * 123.292) = floor(252.41)
  EXPECT_EQ(stepBack.leftSpeed, 252);   // floor(2.02856 * 124.417) = floor(252.39)
}

TEST(SendFunctionConverter, WheelVelocitiesForwardMounting) {
  auto c = makeConverter(-1);
  const SendData d = c.convertVRL(1000, 1000);
  EXPECT_EQ(d.leftDirection, kBack);
  EXPECT_EQ(d.rightDirection, kFwd);
  EXPECT_EQ(d.leftSpeed, 125);  // floor(-124.41...) = -125
  EXPECT_EQ(d.rightSpeed, 123);
  expectFixedBytes(d);
}

TEST(SendFunctionConverter, WheelVelocitiesReversedMounting) {
  auto c = makeConverter(1);
  const SendData d = c.convertVRL(1000, 1000);
  EXPECT_EQ(d.leftDirection, kFwd);
  EXPECT_EQ(d.rightDirection, kBack);
  EXPECT_EQ(d.leftSpeed, 124);
  EXPECT_EQ(d.rightSpeed, 124);  // floor(-123.29...) = -124
  expectFixedBytes(d);
}

TEST(SendFunctionConverter, SpeedByteSaturatesAt255) {
  auto c = makeConverter(-1);
  const SendData d = c.convertVRL(3000, 0);
  EXPECT_EQ(d.rightSpeed, 255);  // 369 counts
  EXPECT_EQ(d.rightDirection, kFwd);
  EXPECT_EQ(d.leftSpeed, 0);
  EXPECT_EQ(d.leftDirection, kBack);
}

TEST(SendFunctionConverter, RoundsTowardMinusInfinityNotZero) {
  auto c = makeConverter(-1);
  const SendData below = c.convertVRL(8.11, 8.11);
  EXPECT_EQ(below.rightSpeed, 0);  // floor(0.9999...)
  EXPECT_EQ(below.rightDirection, kBack);
  EXPECT_EQ(below.leftSpeed, 2);  // floor(-1.009...)
  EXPECT_EQ(below.leftDirection, kBack);

  const SendData above = c.convertVRL(8.12, 8.12);
  EXPECT_EQ(above.rightSpeed, 1);
  EXPECT_EQ(above.rightDirection, kFwd);
  EXPECT_EQ(above.leftSpeed, 2);
  EXPECT_EQ(above.leftDirection, kBack);
}

TEST(SendFunctionConverter, UnrepresentableValuesAreAStandstill) {
  auto c = makeConverter(-1);
  const double inf = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  for (double v : {inf, -inf, nan, 1e12, -1e12}) {
    const SendData d = c.convertVRL(v, v);
    EXPECT_EQ(d.rightSpeed, 0) << v;
    EXPECT_EQ(d.rightDirection, kBack) << v;
    EXPECT_EQ(d.leftSpeed, 0) << v;
    EXPECT_EQ(d.leftDirection, kBack) << v;
  }
  // Just inside 32 bits the value is still a (saturated) speed.
  const SendData big = c.convertVRL(1e7, 0);
  EXPECT_EQ(big.rightSpeed, 255);
  EXPECT_EQ(big.rightDirection, kFwd);
}

TEST(SendFunctionConverter, RadiusAndVelocity) {
  auto c = makeConverter(-1);
  // right 637.2 mm/s -> 78.56 counts, left 362.8 mm/s -> -45.13 counts
  const SendData d = c.convertRV(1000, 500);
  EXPECT_EQ(d.rightSpeed, 78);
  EXPECT_EQ(d.rightDirection, kFwd);
  EXPECT_EQ(d.leftSpeed, 46);
  EXPECT_EQ(d.leftDirection, kBack);
  expectFixedBytes(d);
}

TEST(SendFunctionConverter, ZeroRadiusIsAStandstillForEverySpeed) {
  auto c = makeConverter(-1);
  for (double v : {0.0, 1.0, -250.0, 500.0}) {
    const SendData d = c.convertRV(0, v);
    EXPECT_EQ(d.rightSpeed, 0) << v;
    EXPECT_EQ(d.leftSpeed, 0) << v;
    EXPECT_EQ(d.rightDirection, kBack) << v;
    EXPECT_EQ(d.leftDirection, kBack) << v;
  }
}

// convertRV reaches the wheel encoding through the virtual slot.
class RecordingConverter : public SendFunctionConverter {
 public:
  SendData convertVRL(const double& right, const double& left) override {
    lastRight = right;
    lastLeft = left;
    return SendData();
  }
  double lastRight = 0;
  double lastLeft = 0;
};

TEST(SendFunctionConverter, RadiusConversionGoesThroughTheVirtualWheelConversion) {
  RecordingConverter c;
  c.convertRV(1000, 500);
  EXPECT_DOUBLE_EQ(c.lastRight, 637.2);
  EXPECT_DOUBLE_EQ(c.lastLeft, 362.8);
  c.convertRV(-1000, 500);
  EXPECT_DOUBLE_EQ(c.lastRight, 362.8);
  EXPECT_DOUBLE_EQ(c.lastLeft, 637.2);
}

}  // namespace
}  // namespace tolvarine_controller
