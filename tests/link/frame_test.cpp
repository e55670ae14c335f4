#include "tolvarine_controller/frame.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>

namespace tolvarine_controller {
namespace {

std::array<std::uint8_t, kCommandFrameSize> encodeStop(std::uint8_t sequence) {
  SendData stop;
  stop.sequence = sequence;
  CommandFrame frame;
  encodeFrame(stop, frame);
  std::array<std::uint8_t, kCommandFrameSize> out{};
  for (std::size_t i = 0; i < kCommandFrameSize; ++i)
    out[i] = frame[i];
  return out;
}

using Bytes = std::array<std::uint8_t, kCommandFrameSize>;

TEST(CommandFrame, StopCommandVectors) {
  // The first frame of a new connector.
  EXPECT_EQ(encodeStop(11),
            (Bytes{0x02, 0x30, 0x30, 0x00, 0x00, 0xCC, 0x1A, 0x1A, 0x64, 0xFF, 0x0B, 0xCE}));
  // Payload sum 0x02 would look like a start byte: sent as 0xFD.
  EXPECT_EQ(encodeStop(63),
            (Bytes{0x02, 0x30, 0x30, 0x00, 0x00, 0xCC, 0x1A, 0x1A, 0x64, 0xFF, 0x3F, 0xFD}));
  EXPECT_EQ(encodeStop(109),
            (Bytes{0x02, 0x30, 0x30, 0x00, 0x00, 0xCC, 0x1A, 0x1A, 0x64, 0xFF, 0x6D, 0x30}));
}

TEST(CommandFrame, FieldsLandInTheirBytes) {
  SendData data;
  data.leftDirection = 0x41;
  data.rightDirection = 0x40;
  data.leftSpeed = 7;
  data.rightSpeed = 200;
  data.option5 = 40;
  data.sequence = 10;
  CommandFrame frame;
  encodeFrame(data, frame);
  EXPECT_EQ(frame[0], 0x02);
  EXPECT_EQ(frame[1], 0x41);
  EXPECT_EQ(frame[2], 0x40);
  EXPECT_EQ(frame[3], 7);
  EXPECT_EQ(frame[4], 200);
  EXPECT_EQ(frame[9], 40);
  EXPECT_EQ(frame[10], 10);
  // 65 + 64 + 7 + 200 + 204 + 26 + 26 + 100 + 40 + 10 = 742 = 0x2E6
  EXPECT_EQ(frame[11], 0xE6);
}

TEST(FrameChecksum, SumModulo256WithStartByteEscape) {
  const std::uint8_t wraps[] = {0xFF, 0x03};  // 0x102 -> 0x02 -> escaped
  EXPECT_EQ(frameChecksum(wraps, 2), 0xFD);
  const std::uint8_t plain[] = {0xFF, 0x04};
  EXPECT_EQ(frameChecksum(plain, 2), 0x03);
  EXPECT_EQ(frameChecksum(plain, 0), 0x00);
}

TEST(StatusFrame, DecodesFieldsAndValidatesCheckByte) {
  const StatusFrame frame = {0x02, 0x41, 0x42, 118, 138, 1, 2, 3, 0};
  StatusFrame valid;
  for (std::size_t i = 0; i < kStatusFrameSize; ++i)
    valid[i] = frame[i];
  valid[8] = static_cast<std::uint8_t>(0x41 + 0x42 + 118 + 138 + 1 + 2 + 3);
  const ReceiveData data = decodeStatusFrame(valid);
  EXPECT_TRUE(data.isValid);
  EXPECT_EQ(data.status1, 0x41);
  EXPECT_EQ(data.status2, 0x42);
  EXPECT_EQ(data.wheelSpeed1, 118);
  EXPECT_EQ(data.wheelSpeed2, 138);
  EXPECT_EQ(data.extra[0], 1);
  EXPECT_EQ(data.extra[1], 2);
  EXPECT_EQ(data.extra[2], 3);
  EXPECT_EQ(data.elapsed, 0);

  valid[8] ^= 0x01;
  EXPECT_FALSE(decodeStatusFrame(valid).isValid);
}

TEST(StatusFrame, SumOfTwoNeedsTheEscapedCheckByte) {
  StatusFrame frame = {0x02, 0x01, 0x01, 0, 0, 0, 0, 0, 0xFD};
  EXPECT_TRUE(decodeStatusFrame(frame).isValid);
  frame[8] = 0x02;
  EXPECT_FALSE(decodeStatusFrame(frame).isValid);
}

TEST(StatusFrame, StartByteIsNotExamined) {
  StatusFrame frame = {0x00, 0x41, 0x41, 128, 128, 0, 0, 0, 0};
  frame[8] = static_cast<std::uint8_t>(0x41 + 0x41 + 128 + 128);
  for (int start : {0x00, 0x02, 0x55, 0xFF}) {
    frame[0] = static_cast<std::uint8_t>(start);
    EXPECT_TRUE(decodeStatusFrame(frame).isValid) << "start byte " << start;
  }
}

TEST(Records, DefaultsAreTheStopCommandAndAnEmptyStatus) {
  const SendData stop;
  EXPECT_EQ(stop.leftDirection, 0x30);
  EXPECT_EQ(stop.rightDirection, 0x30);
  EXPECT_EQ(stop.leftSpeed, 0);
  EXPECT_EQ(stop.rightSpeed, 0);
  EXPECT_EQ(stop.option1, 0xCC);
  EXPECT_EQ(stop.option2, 0x1A);
  EXPECT_EQ(stop.option3, 0x1A);
  EXPECT_EQ(stop.option4, 0x64);
  EXPECT_EQ(stop.option5, 0xFF);
  EXPECT_EQ(stop.sequence, 0);
  const ReceiveData status;
  EXPECT_FALSE(status.isValid);
  EXPECT_EQ(status.elapsed, 0);
}

}  // namespace
}  // namespace tolvarine_controller
