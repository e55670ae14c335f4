// Frames in, status frames out: the board's side of the wire protocol.

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <memory>
#include <string>

#include "pty_client.h"
#include "tolvarine_board_sim/simulated_board.h"

namespace board_sim_test {
namespace {

using namespace std::chrono_literals;
using tolvarine_board_sim::BoardOptions;
using tolvarine_board_sim::SimulatedBoard;

constexpr double kWheelCountUnit = 19.533333333333335;  // mm/s per count

// The controller's reading of the wheel counts, forward mounting (mm/s).
double decodedRight(const Bytes& reply) {
  return (reply[4] - 128) * kWheelCountUnit;
}
double decodedLeft(const Bytes& reply) {
  return (128 - reply[3]) * kWheelCountUnit;
}

class BoardProtocol : public ::testing::Test {
 protected:
  void SetUp() override { startBoard(instantMotors()); }

  // Each reply rounds on its own, so a steady speed always shows the same
  // counts; the carried fraction is tested with the motion model.
  static BoardOptions instantMotors() {
    BoardOptions options;
    options.maxAcceleration = 0.0;  // commanded speed at once
    options.carryCountFraction = false;
    return options;
  }

  void startBoard(const BoardOptions& options) {
    board_ = std::make_unique<SimulatedBoard>(options);
    std::string error;
    ASSERT_TRUE(board_->start(&error)) << error;
    client_ = std::make_unique<PtyClient>(board_->devicePath());
    ASSERT_TRUE(client_->isOpen());
  }

  Bytes exchange(const Bytes& frame) {
    EXPECT_TRUE(client_->send(frame));
    return client_->read(9);
  }

  std::unique_ptr<SimulatedBoard> board_;
  std::unique_ptr<PtyClient> client_;
};

TEST_F(BoardProtocol, AnswersTheStopCommandWithAStandstillStatus) {
  // 0x41 + 0x41 + 0x80 + 0x80 = 0x182: check byte 0x82.
  EXPECT_EQ(exchange(stopCommand(11)), (Bytes{0x02, 0x41, 0x41, 0x80, 0x80, 0, 0, 0, 0x82}));
  ASSERT_TRUE(board_->waitForReplies(1, kPatience));
  EXPECT_EQ(board_->validFrameCount(), 1u);
  EXPECT_EQ(board_->badFrameCount(), 0u);
  EXPECT_EQ(board_->replyCount(), 1u);
}

TEST_F(BoardProtocol, ForwardAtOneMetrePerSecondComesBackAsOneMetrePerSecond) {
  // The controller's encoding of 1 m/s on both wheels: left 0x40/125, right
  // 0x41/123. Right 123 / 123.2917 = 0.99763 m/s = 51.07 counts -> 179; left
  // 125 / 124.4167 = 1.00469 m/s = 51.43 counts -> 128 - 51 = 77.
  const Bytes reply = exchange(command(0x40, 0x41, 125, 123, 11));
  EXPECT_EQ(reply, (Bytes{0x02, 0x41, 0x41, 77, 179, 0, 0, 0, 0x82}));
  ASSERT_EQ(reply.size(), 9u);
  EXPECT_NEAR(decodedRight(reply), 1000.0, kWheelCountUnit);
  EXPECT_NEAR(decodedLeft(reply), 1000.0, kWheelCountUnit);
  const auto motors = board_->motorSpeeds();
  EXPECT_NEAR(motors.right, 123.0 / 123.29166666666666, 1e-12);
  EXPECT_NEAR(motors.left, 125.0 / 124.41666666666669, 1e-12);
}

TEST_F(BoardProtocol, TurnsAndSpinsAreReportedPerWheel) {
  // A left turn of radius 1 m at 0.5 m/s: right 0x41/78, left 0x40/46.
  // Right 0.63265 m/s = 32.39 counts -> 160; left 0.36973 m/s = 18.93 -> 109.
  Bytes reply = exchange(command(0x40, 0x41, 46, 78, 12));
  EXPECT_EQ(reply, (Bytes{0x02, 0x41, 0x41, 109, 160, 0, 0, 0, 0x8F}));
  ASSERT_EQ(reply.size(), 9u);
  EXPECT_GT(decodedRight(reply), decodedLeft(reply));

  // Spin on the spot to the left: 0x41 on the left wheel drives it backward.
  // Right +0.50287 m/s = 25.74 counts -> 154; left -0.49833 m/s = -25.51
  // counts -> 128 + 26 = 154.
  reply = exchange(command(0x41, 0x41, 62, 62, 13));
  EXPECT_EQ(reply, (Bytes{0x02, 0x41, 0x41, 154, 154, 0, 0, 0, 0xB6}));
  ASSERT_EQ(reply.size(), 9u);
  EXPECT_GT(decodedRight(reply), 0.0);
  EXPECT_LT(decodedLeft(reply), 0.0);
  EXPECT_GT(board_->motorSpeeds().right, 0.0);
  EXPECT_LT(board_->motorSpeeds().left, 0.0);

  // Any direction byte other than 0x40/0x41 stops that wheel.
  reply = exchange(command(0x30, 0x30, 200, 200, 14));
  EXPECT_EQ(reply, (Bytes{0x02, 0x41, 0x41, 0x80, 0x80, 0, 0, 0, 0x82}));
}

TEST_F(BoardProtocol, CheckByteEscapeInBothDirections) {
  // Payload 30 30 00 00 CC 1A 1A 64 FF 3F adds up to 0x02: sent as 0xFD.
  const Bytes escaped{0x02, 0x30, 0x30, 0x00, 0x00, 0xCC, 0x1A, 0x1A, 0x64, 0xFF, 0x3F, 0xFD};
  EXPECT_EQ(exchange(escaped).size(), 9u);
  ASSERT_TRUE(board_->waitForFrames(1, kPatience));
  EXPECT_EQ(board_->badFrameCount(), 0u);

  // A status frame whose bytes 1..7 add up to 0x02 carries 0xFD:
  // 0x41 + 0xC1 + 0x80 + 0x80 = 0x202.
  board_->setStatusBytes(0x41, 0xC1);
  EXPECT_EQ(exchange(stopCommand(12)), (Bytes{0x02, 0x41, 0xC1, 0x80, 0x80, 0, 0, 0, 0xFD}));
}

TEST_F(BoardProtocol, UnescapedCheckByteIsRejectedAndTheNextFrameFound) {
  // The same payload with 0x02 as its check byte is not a valid frame. Its
  // trailing 0x02 even looks like a start byte, so the board has to find the
  // real next frame behind it.
  const Bytes unescaped{0x02, 0x30, 0x30, 0x00, 0x00, 0xCC, 0x1A, 0x1A, 0x64, 0xFF, 0x3F, 0x02};
  ASSERT_TRUE(client_->send(unescaped));
  EXPECT_EQ(exchange(stopCommand(64)).size(), 9u);
  ASSERT_TRUE(board_->waitForReplies(1, kPatience));
  EXPECT_EQ(board_->validFrameCount(), 1u);
  EXPECT_GE(board_->badFrameCount(), 1u);
  EXPECT_EQ(board_->replyCount(), 1u);
  EXPECT_EQ(client_->available(), 0);
  const auto frames = board_->frames();
  ASSERT_GE(frames.size(), 2u);
  EXPECT_FALSE(frames.front().valid);
  EXPECT_EQ(Bytes(frames.front().bytes.begin(), frames.front().bytes.end()), unescaped);
  EXPECT_TRUE(frames.back().valid);
}

TEST_F(BoardProtocol, BadCheckAndBadStartAreCountedButNotAnswered) {
  Bytes badCheck = stopCommand(11);
  badCheck[11] ^= 0x01;
  ASSERT_TRUE(client_->send(badCheck));
  Bytes badStart = stopCommand(12);  // 03 30 30 00 00 CC 1A 1A 64 FF 0C CF: no 0x02 in it
  badStart[0] = 0x03;
  ASSERT_TRUE(client_->send(badStart));
  // Only the good frame is answered: an answer to either bad one would have
  // been written first and would be the first thing read.
  board_->setStatusBytes(0x41, 0x42);
  const Bytes reply = exchange(stopCommand(13));
  EXPECT_EQ(reply, (Bytes{0x02, 0x41, 0x42, 0x80, 0x80, 0, 0, 0, 0x83}));
  ASSERT_TRUE(board_->waitForReplies(1, kPatience));
  EXPECT_EQ(board_->replyCount(), 1u);
  EXPECT_EQ(board_->validFrameCount(), 1u);
  EXPECT_EQ(board_->badFrameCount(), 2u);
  EXPECT_EQ(client_->available(), 0);

  const auto frames = board_->frames();
  ASSERT_EQ(frames.size(), 3u);
  EXPECT_FALSE(frames[0].valid);
  EXPECT_EQ(Bytes(frames[0].bytes.begin(), frames[0].bytes.end()), badCheck);
  EXPECT_FALSE(frames[1].valid);
  EXPECT_EQ(Bytes(frames[1].bytes.begin(), frames[1].bytes.end()), badStart);
  EXPECT_TRUE(frames[2].valid);
  EXPECT_EQ(Bytes(frames[2].bytes.begin(), frames[2].bytes.end()), stopCommand(13));
  EXPECT_LE(frames[0].at, frames[1].at);
  EXPECT_LE(frames[1].at, frames[2].at);
}

TEST_F(BoardProtocol, ResynchronisesAfterGarbage) {
  // Garbage, then a false start whose frame would swallow the start of the
  // real one, then two good frames written in one piece.
  Bytes stream{0xAA, 0xBB, 0x02, 0xCC};
  const Bytes first = stopCommand(20);
  const Bytes second = command(0x40, 0x41, 125, 123, 21);
  stream.insert(stream.end(), first.begin(), first.end());
  stream.insert(stream.end(), second.begin(), second.end());
  ASSERT_TRUE(client_->send(stream));

  // Both replies; the wheel counts are those at the time of writing, which
  // for the first one may already include the second command.
  const Bytes firstReply = client_->read(9);
  ASSERT_EQ(firstReply.size(), 9u);
  EXPECT_EQ(firstReply[8], checkByte(firstReply, 1, 7));
  EXPECT_EQ(client_->read(9), (Bytes{0x02, 0x41, 0x41, 77, 179, 0, 0, 0, 0x82}));
  ASSERT_TRUE(board_->waitForFrames(2, kPatience));
  EXPECT_EQ(board_->validFrameCount(), 2u);
  // "AA BB" and the false start "02 CC ..." are one bad frame each.
  EXPECT_EQ(board_->badFrameCount(), 2u);
  const auto frames = board_->frames();
  ASSERT_EQ(frames.size(), 4u);
  EXPECT_FALSE(frames[0].valid);
  EXPECT_EQ(frames[0].bytes[0], 0xAA);
  EXPECT_EQ(frames[0].bytes[1], 0xBB);
  EXPECT_EQ(frames[0].bytes[2], 0x00);
  EXPECT_FALSE(frames[1].valid);
  EXPECT_EQ(frames[1].bytes[0], 0x02);
  EXPECT_EQ(frames[1].bytes[1], 0xCC);
  EXPECT_TRUE(frames[2].valid);
  EXPECT_TRUE(frames[3].valid);
}

TEST_F(BoardProtocol, AFrameSplitAcrossWritesIsReassembled) {
  const Bytes frame = command(0x40, 0x41, 125, 123, 30);
  ASSERT_TRUE(client_->send(Bytes(frame.begin(), frame.begin() + 5)));
  ASSERT_TRUE(client_->send(Bytes(frame.begin() + 5, frame.end())));
  EXPECT_EQ(client_->read(9), (Bytes{0x02, 0x41, 0x41, 77, 179, 0, 0, 0, 0x82}));
  EXPECT_EQ(board_->badFrameCount(), 0u);
}

TEST_F(BoardProtocol, StopCommandSettlesToCentreCounts) {
  BoardOptions options;
  options.maxAcceleration = 10.0;  // m/s^2: 1 m/s is reached in 0.1 s
  options.carryCountFraction = false;
  startBoard(options);

  // Drive until the reported counts show full speed, then send stop commands
  // until the counts come back to 128/128; the counts fall through the
  // values in between without ever rising.
  std::uint8_t sequence = 10;
  Bytes reply;
  const auto deadline = SteadyClock::now() + 4 * kPatience;
  do {
    reply = exchange(command(0x40, 0x41, 125, 123, ++sequence));
    ASSERT_EQ(reply.size(), 9u);
  } while (reply[4] != 179 && SteadyClock::now() < deadline);
  ASSERT_EQ(reply[3], 77);
  ASSERT_EQ(reply[4], 179);

  int previous = reply[4];
  do {
    reply = exchange(stopCommand(++sequence));
    ASSERT_EQ(reply.size(), 9u);
    EXPECT_LE(reply[4], previous);
    EXPECT_GE(reply[4], 128);
    previous = reply[4];
  } while ((reply[3] != 128 || reply[4] != 128) && SteadyClock::now() < deadline);
  EXPECT_EQ(reply, (Bytes{0x02, 0x41, 0x41, 0x80, 0x80, 0, 0, 0, 0x82}));
  // Centre counts mean less than half a count of speed, and the motors only
  // slow down further after the reply.
  EXPECT_LT(std::fabs(board_->motorSpeeds().right), kWheelCountUnit / 2000.0);
  EXPECT_LT(std::fabs(board_->motorSpeeds().left), kWheelCountUnit / 2000.0);
}

}  // namespace
}  // namespace board_sim_test
