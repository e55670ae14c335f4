// The bytes on the wire and the wheel commands that fill them. Every expected
// byte below was worked out by hand from the frame layout and the gains.

#include "tolvarine_controller/frame.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "tolvarine_controller/send_function_converter.h"

namespace tolvarine_controller {
namespace {

using Command = std::array<std::uint8_t, kCommandFrameSize>;

Command encode(const SendData& data) {
  CommandFrame frame;
  encodeFrame(data, frame);
  Command out{};
  std::copy(frame, frame + kCommandFrameSize, out.begin());
  return out;
}

SendData stopWithSequence(std::uint8_t sequence) {
  SendData stop;
  stop.sequence = sequence;
  return stop;
}

TEST(CommandFrame, LayoutAndCheckByte) {
  // Every field different, so that two swapped bytes show.
  SendData mixed;
  mixed.leftDirection = 0x41;
  mixed.rightDirection = 0x40;
  mixed.leftSpeed = 7;
  mixed.rightSpeed = 200;
  mixed.option1 = 1;
  mixed.option2 = 2;
  mixed.option3 = 3;
  mixed.option4 = 4;
  mixed.option5 = 5;
  mixed.sequence = 10;
  const struct {
    SendData data;
    Command bytes;
  } cases[] = {
      // A new connector's first frame.
      {stopWithSequence(11), {0x02, 0x30, 0x30, 0, 0, 0xCC, 0x1A, 0x1A, 0x64, 0xFF, 0x0B, 0xCE}},
      // Payload sum 0x02 would look like a start byte: sent as 0xFD.
      {stopWithSequence(63), {0x02, 0x30, 0x30, 0, 0, 0xCC, 0x1A, 0x1A, 0x64, 0xFF, 0x3F, 0xFD}},
      {stopWithSequence(109), {0x02, 0x30, 0x30, 0, 0, 0xCC, 0x1A, 0x1A, 0x64, 0xFF, 0x6D, 0x30}},
      // 65 + 64 + 7 + 200 + 1 + 2 + 3 + 4 + 5 + 10 = 361 = 0x169.
      {mixed, {0x02, 0x41, 0x40, 7, 200, 1, 2, 3, 4, 5, 10, 0x69}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("sequence " + std::to_string(c.data.sequence));
    EXPECT_EQ(encode(c.data), c.bytes);
  }
}

TEST(StatusFrame, FieldsAndCheckByte) {
  // 0x41 + 0x42 + 118 + 138 + 1 + 2 + 3 = 393 = 0x189.
  StatusFrame frame = {0x02, 0x41, 0x42, 118, 138, 1, 2, 3, 0x89};
  const ReceiveData d = decodeStatusFrame(frame);
  EXPECT_EQ((std::vector<int>{d.isValid, d.status1, d.status2, d.wheelSpeed1, d.wheelSpeed2,
                              d.extra[0], d.extra[1], d.extra[2]}),
            (std::vector<int>{1, 0x41, 0x42, 118, 138, 1, 2, 3}));
  frame[8] = 0x86;  // the sum without the last status byte
  EXPECT_FALSE(decodeStatusFrame(frame).isValid);

  // Bytes 1 to 7 adding up to 0x02 need the escaped check byte.
  StatusFrame escaped = {0x02, 0x01, 0x01, 0, 0, 0, 0, 0, 0xFD};
  EXPECT_TRUE(decodeStatusFrame(escaped).isValid);
  escaped[8] = 0x02;
  EXPECT_FALSE(decodeStatusFrame(escaped).isValid);

  // A good check byte is not enough: bytes read one step late (noise ahead
  // of the reply) can add up by chance, and only the start byte tells.
  StatusFrame shifted = {0x00, 0x01, 0x01, 0, 0, 0, 0, 0, 0xFD};
  for (std::uint8_t start : {0x00, 0x03, 0x55, 0xFD, 0xFF}) {
    shifted[0] = start;
    EXPECT_FALSE(decodeStatusFrame(shifted).isValid) << "start byte " << int{start};
  }
}

TEST(StatusFrame, AlignsOnTheFirstStartByte) {
  struct Case {
    const char* what;
    std::vector<std::uint8_t> in;
    std::vector<std::uint8_t> out;
  };
  const Case cases[] = {
      {"aligned already", {0x02, 0x41, 0x41, 0x80}, {0x02, 0x41, 0x41, 0x80}},
      {"noise ahead", {0x55, 0xAA, 0x02, 0x41, 0x02}, {0x02, 0x41, 0x02}},
      {"start byte last", {0x13, 0x02}, {0x02}},
      {"no start byte", {0x55, 0x41, 0xFD}, {}},
      {"nothing", {}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::uint8_t> bytes = c.in;
    bytes.push_back(0xEE);  // past `count`: must stay out of it
    const std::size_t kept = alignToFrameStart(bytes.data(), c.in.size());
    EXPECT_EQ(std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + kept), c.out);
  }
}

constexpr std::uint8_t F = 0x41;  // forward
constexpr std::uint8_t B = 0x40;  // backward, or no count at all

struct Wheels {
  std::uint8_t leftDirection, leftSpeed, rightDirection, rightSpeed;
};

void expectWheels(const SendData& d, const Wheels& w) {
  // The rest of the record stays the stop command's.
  const Command frame = encode(d);
  EXPECT_EQ(std::vector<std::uint8_t>(frame.begin() + 1, frame.begin() + 11),
            (std::vector<std::uint8_t>{w.leftDirection, w.rightDirection, w.leftSpeed, w.rightSpeed,
                                       0xCC, 0x1A, 0x1A, 0x64, 0xFF, 0}));
}

// Counts per m/s: right 1479.5 / 12 = 123.2917, left 1493 / 12 = 124.4167;
// the forward mounting (-1) negates the left wheel, the other one the right.
TEST(SendFunctionConverter, WheelSpeedsToBytes) {
  const double inf = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const struct {
    int direction;
    double right, left;
    Wheels expected;
  } cases[] = {
      {-1, 1000, 1000, {B, 125, F, 123}},  // left floor(-124.42) = -125
      {1, 1000, 1000, {F, 124, B, 124}},   // right floor(-123.29) = -124
      {-1, 3000, 0, {B, 0, F, 255}},       // 369 counts saturate; 0 counts is 0x40
      {-1, -3000, -3000, {F, 255, B, 255}},
      {-1, 8.11, 8.11, {B, 2, B, 0}},   // floor(0.99991) = 0, floor(-1.00902) = -2
      {-1, 8.12, 8.12, {B, 2, F, 1}},   // floor(1.00113) = 1
      {-1, 1e7, 0, {B, 0, F, 255}},     // 1.23e6 counts still fit 32 bits
      {-1, 1e12, -1e12, {B, 0, B, 0}},  // beyond 32 bits: no count at all
      {-1, inf, -inf, {B, 0, B, 0}},
      {-1, nan, nan, {B, 0, B, 0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("direction " + std::to_string(c.direction) + " right " + std::to_string(c.right) +
                 " left " + std::to_string(c.left));
    SendFunctionConverter converter;
    converter.direction = c.direction;
    expectWheels(converter.convertVRL(c.right, c.left), c.expected);
  }
}

TEST(SendFunctionConverter, RadiusAndVelocity) {
  SendFunctionConverter converter;
  // Half tread 274.4 mm: right 0.5 * 1274.4 = 637.2 mm/s -> 78.56 counts,
  // left 0.5 * 725.6 = 362.8 mm/s -> -45.14 counts.
  expectWheels(converter.convertRV(1000, 500), {B, 46, F, 78});
  // Radius 0 cannot be expressed: a standstill whatever the speed.
  for (double v : {0.0, 1.0, -250.0}) {
    SCOPED_TRACE(v);
    expectWheels(converter.convertRV(0, v), {B, 0, B, 0});
  }

  // The wheel speeds reach the encoding through the virtual slot.
  struct Recording : SendFunctionConverter {
    SendData convertVRL(const double& right, const double& left) override {
      seen.push_back(right);
      seen.push_back(left);
      return SendData();
    }
    std::vector<double> seen;
  } recording;
  recording.convertRV(1000, 500);
  recording.convertRV(-1000, 500);
  EXPECT_THAT(recording.seen, testing::Pointwise(testing::DoubleEq(),
                                                 std::vector<double>{637.2, 362.8, 362.8, 637.2}));
}

TEST(SendFunctionConverter, LimitsStandWhereTheBytesSaturate) {
  SendFunctionConverter converter;
  // 255 counts: right 3060 / 1479.5 m/s, left 3060 / 1493 m/s.
  EXPECT_NEAR(converter.rightMax, 2068.266, 0.001);
  EXPECT_NEAR(converter.leftMax, 2049.565, 0.001);
  EXPECT_EQ(converter.rightMin, -converter.rightMax);
  EXPECT_EQ(converter.leftMin, -converter.leftMax);
  // At the limits the bytes are full; 10 mm/s inside, they are not (253.77
  // and 253.76 counts), so a ramp held at the limit loses nothing.
  expectWheels(converter.convertVRL(converter.rightMax, -converter.leftMax), {F, 255, F, 255});
  expectWheels(converter.convertVRL(converter.rightMin, -converter.leftMin), {B, 255, B, 255});
  expectWheels(converter.convertVRL(converter.rightMax - 10, 10 - converter.leftMax),
               {F, 253, F, 253});
}

}  // namespace
}  // namespace tolvarine_controller
