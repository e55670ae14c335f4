// Fault injection. Replies are told apart by their status bytes: the board
// takes fault settings and status bytes from the next command frame on, so
// each frame can tag its own reply.

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "pty_client.h"
#include "tolvarine_board_sim/simulated_board.h"

namespace board_sim_test {
namespace {

using namespace std::chrono_literals;
using tolvarine_board_sim::BoardOptions;
using tolvarine_board_sim::SimulatedBoard;

class BoardFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    BoardOptions options;
    options.maxAcceleration = 0.0;
    board_ = std::make_unique<SimulatedBoard>(options);
    std::string error;
    ASSERT_TRUE(board_->start(&error)) << error;
    client_ = std::make_unique<PtyClient>(board_->devicePath());
    ASSERT_TRUE(client_->isOpen());
  }

  // Sends frame number `n` (1-based) with its reply tagged n in status1, and
  // waits until the board has taken it.
  void sendTagged(unsigned n) {
    board_->setStatusBytes(static_cast<std::uint8_t>(n), 0x41);
    ASSERT_TRUE(client_->send(stopCommand(static_cast<std::uint8_t>(10 + n))));
    ASSERT_TRUE(board_->waitForFrames(n, kPatience));
  }

  // Reads replies until one tagged `last` arrives; returns the tags in order.
  std::vector<unsigned> tagsUpTo(unsigned last) {
    std::vector<unsigned> tags;
    while (tags.empty() || tags.back() != last) {
      const Bytes reply = client_->read(9);
      if (reply.size() != 9) {
        ADD_FAILURE() << "reply tagged " << last << " never came";
        break;
      }
      tags.push_back(reply[1]);
    }
    return tags;
  }

  std::unique_ptr<SimulatedBoard> board_;
  std::unique_ptr<PtyClient> client_;
};

TEST_F(BoardFaults, SilentBoardTakesFramesButNeverAnswers) {
  board_->setSilent(true);
  for (unsigned n = 1; n <= 3; ++n)
    sendTagged(n);
  EXPECT_EQ(board_->replyCount(), 0u);
  // Frames are still taken as commands while silent.
  board_->setStatusBytes(0x41, 0x41);
  ASSERT_TRUE(client_->send(command(0x40, 0x41, 125, 123, 20)));
  ASSERT_TRUE(board_->waitForFrames(4, kPatience));
  EXPECT_GT(board_->motorSpeeds().right, 0.9);

  board_->resumeAnswering();
  sendTagged(5);
  EXPECT_EQ(tagsUpTo(5), (std::vector<unsigned>{5}));
  ASSERT_TRUE(board_->waitForReplies(1, kPatience));
  EXPECT_EQ(board_->replyCount(), 1u);
  EXPECT_EQ(board_->validFrameCount(), 5u);
}

TEST_F(BoardFaults, StopsAnsweringAfterNRepliesUntilResumed) {
  board_->stopAnsweringAfter(2);
  for (unsigned n = 1; n <= 5; ++n)
    sendTagged(n);
  board_->resumeAnswering();
  sendTagged(6);
  EXPECT_EQ(tagsUpTo(6), (std::vector<unsigned>{1, 2, 6}));
  ASSERT_TRUE(board_->waitForReplies(3, kPatience));
  EXPECT_EQ(board_->replyCount(), 3u);
}

TEST_F(BoardFaults, DropsEveryNthReply) {
  board_->setDropEvery(3);
  for (unsigned n = 1; n <= 7; ++n)
    sendTagged(n);
  EXPECT_EQ(tagsUpTo(7), (std::vector<unsigned>{1, 2, 4, 5, 7}));

  board_->setDropEvery(0);
  for (unsigned n = 8; n <= 9; ++n)
    sendTagged(n);
  EXPECT_EQ(tagsUpTo(9), (std::vector<unsigned>{8, 9}));
}

TEST_F(BoardFaults, CorruptsTheCheckByteOfEveryNthReply) {
  board_->setCorruptEvery(2);
  for (unsigned n = 1; n <= 4; ++n) {
    sendTagged(n);
    const Bytes reply = client_->read(9);
    ASSERT_EQ(reply.size(), 9u);
    EXPECT_EQ(reply[1], n);
    const bool intact = reply[8] == checkByte(reply, 1, 7);
    EXPECT_EQ(intact, n % 2 == 1) << "reply " << n;
  }
  // A corrupted reply is still a reply written.
  ASSERT_TRUE(board_->waitForReplies(4, kPatience));
  EXPECT_EQ(board_->replyCount(), 4u);
}

TEST_F(BoardFaults, AnswersLate) {
  constexpr auto kDelay = 60ms;
  board_->setReplyDelay(kDelay);
  const auto sent = SteadyClock::now();
  ASSERT_TRUE(client_->send(stopCommand(11)));
  const Bytes reply = client_->read(9);
  const auto received = SteadyClock::now();
  ASSERT_EQ(reply.size(), 9u);
  EXPECT_GE(received - sent, kDelay);
  const auto frames = board_->frames();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_GE(received - frames[0].at, kDelay);

  // Back to prompt answers: the reply comes well before the old delay would
  // have allowed, measured against the frame's recorded arrival.
  board_->setReplyDelay(0us);
  ASSERT_TRUE(client_->send(stopCommand(12)));
  EXPECT_EQ(client_->read(9).size(), 9u);
}

TEST_F(BoardFaults, ChosenStatusBytesInTheParityRanges) {
  const std::vector<std::pair<std::uint8_t, std::uint8_t>> cases{
      {0x61, 0x41}, {0x41, 0x6F}, {0x71, 0x41}, {0x41, 0x7F}, {0x80, 0x41}};
  std::uint8_t sequence = 11;
  for (const auto& [status1, status2] : cases) {
    board_->setStatusBytes(status1, status2);
    ASSERT_TRUE(client_->send(stopCommand(sequence++)));
    const Bytes reply = client_->read(9);
    ASSERT_EQ(reply.size(), 9u);
    EXPECT_EQ(reply[1], status1);
    EXPECT_EQ(reply[2], status2);
    EXPECT_EQ(reply[8], checkByte(reply, 1, 7));
  }
}

TEST_F(BoardFaults, SplitsAReplyWithAGap) {
  constexpr auto kGap = 40ms;
  board_->setSplitReply(4, kGap);
  const auto sent = SteadyClock::now();
  ASSERT_TRUE(client_->send(stopCommand(11)));
  const Bytes head = client_->read(4);
  ASSERT_EQ(head.size(), 4u);
  const Bytes tail = client_->read(5);
  const auto tailAt = SteadyClock::now();
  ASSERT_EQ(tail.size(), 5u);
  Bytes reply = head;
  reply.insert(reply.end(), tail.begin(), tail.end());
  EXPECT_EQ(reply, (Bytes{0x02, 0x41, 0x41, 0x80, 0x80, 0, 0, 0, 0x82}));
  // The tail follows the head only after the gap.
  EXPECT_GE(tailAt - sent, kGap);
  // A split reply is one reply.
  ASSERT_TRUE(board_->waitForReplies(1, kPatience));
  EXPECT_EQ(board_->replyCount(), 1u);

  board_->setSplitReply(0, 0us);
  ASSERT_TRUE(client_->send(stopCommand(12)));
  EXPECT_EQ(client_->read(9), (Bytes{0x02, 0x41, 0x41, 0x80, 0x80, 0, 0, 0, 0x82}));
}

TEST_F(BoardFaults, StrayBytesOnceBeforeTheNextReply) {
  board_->sendStrayBytes({0xAA, 0xBB});
  ASSERT_TRUE(client_->send(stopCommand(11)));
  EXPECT_EQ(client_->read(11), (Bytes{0xAA, 0xBB, 0x02, 0x41, 0x41, 0x80, 0x80, 0, 0, 0, 0x82}));
  // Only once: the next reply comes clean.
  board_->setStatusBytes(0x41, 0x42);
  ASSERT_TRUE(client_->send(stopCommand(12)));
  EXPECT_EQ(client_->read(9), (Bytes{0x02, 0x41, 0x42, 0x80, 0x80, 0, 0, 0, 0x83}));
  ASSERT_TRUE(board_->waitForReplies(2, kPatience));
  EXPECT_EQ(client_->available(), 0);
}

TEST_F(BoardFaults, StrayBytesBeforeEveryNthReply) {
  board_->setStrayEvery(2, {0x55});
  std::vector<bool> stray;
  for (unsigned n = 1; n <= 4; ++n) {
    sendTagged(n);
    Bytes got = client_->read(1);
    ASSERT_EQ(got.size(), 1u);
    stray.push_back(got[0] == 0x55);
    const Bytes rest = client_->read(stray.back() ? 9 : 8);
    got.insert(got.end(), rest.begin(), rest.end());
    if (stray.back())
      got.erase(got.begin());
    ASSERT_EQ(got.size(), 9u);
    EXPECT_EQ(got[1], n);
  }
  EXPECT_EQ(stray, (std::vector<bool>{false, true, false, true}));
}

TEST(BoardWatchdog, StopsTheMotorsWhenCommandsStop) {
  BoardOptions options;
  options.maxAcceleration = 0.0;
  options.commandWatchdog = 80ms;
  SimulatedBoard board(options);
  ASSERT_TRUE(board.start());
  PtyClient client(board.devicePath());
  ASSERT_TRUE(client.send(command(0x40, 0x41, 125, 123, 11)));
  ASSERT_TRUE(board.waitForFrames(1, kPatience));
  const auto arrived = board.frames().at(0).at;
  EXPECT_GT(board.motorSpeeds().right, 0.9);

  const auto deadline = SteadyClock::now() + kPatience;
  while (board.motorSpeeds().right != 0.0 && SteadyClock::now() < deadline) {
    std::this_thread::sleep_for(5ms);
  }
  EXPECT_EQ(board.motorSpeeds().right, 0.0);
  EXPECT_EQ(board.motorSpeeds().left, 0.0);
  EXPECT_GE(SteadyClock::now() - arrived, 80ms);
}

TEST(BoardWatchdog, OffByDefault) {
  BoardOptions options;
  options.maxAcceleration = 0.0;
  SimulatedBoard board(options);
  ASSERT_TRUE(board.start());
  PtyClient client(board.devicePath());
  ASSERT_TRUE(client.send(command(0x40, 0x41, 125, 123, 11)));
  ASSERT_TRUE(board.waitForFrames(1, kPatience));
  // The command stays in force for as long as we care to look.
  const double start = board.truePose().time;
  while (board.truePose().time < start + 0.2) {
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_GT(board.motorSpeeds().right, 0.9);
}

}  // namespace
}  // namespace board_sim_test
