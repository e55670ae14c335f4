// The handshake and the 30 ms communication cycle against the simulated
// board, observed from the board's side of the line.

#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <chrono>
#include <future>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "board_link.h"
#include "connector.h"
#include "connector_probe.h"

namespace tolvarine_controller {
namespace {

using Probe = ConnectorProbe;
using namespace std::chrono_literals;

using ConnectorHandshake = BoardLinkTest;
using ConnectorCycle = BoardLinkTest;

TEST_F(ConnectorHandshake, EndsAbout125MsAfterTheFirstValidReply) {
  board.setSilent(true);
  auto connected = std::async(std::launch::async, [this] { return connector.connect(); });

  // While the board is silent the handshake keeps sending stop commands.
  ASSERT_TRUE(board.waitForFrames(3, 5s));
  EXPECT_EQ(connected.wait_for(0s), std::future_status::timeout);

  const auto resumed = BoardClock::now();
  board.resumeAnswering();
  ASSERT_EQ(connected.wait_for(5s), std::future_status::ready);
  const auto returned = BoardClock::now();
  EXPECT_TRUE(connected.get());

  const std::vector<ReceivedFrame> frames = board.frames();
  ASSERT_GE(frames.size(), 4u);
  for (const ReceivedFrame& frame : frames) {
    EXPECT_TRUE(frame.valid);
    EXPECT_TRUE(isStopCommand(frame));
  }
  // One reply ended it, and nothing was sent after that reply.
  EXPECT_EQ(board.replyCount(), 1u);
  const auto answered = std::find_if(frames.begin(), frames.end(),
                                     [resumed](const ReceivedFrame& f) { return f.at >= resumed; });
  ASSERT_NE(answered, frames.end());
  EXPECT_EQ(answered, frames.end() - 1);

  // The reply leaves the board 2 ms after that frame; then come 100 ms of
  // settling, both purges and 25 ms of quiet.
  const double afterReply = msBetween(answered->at + 2ms, returned);
  EXPECT_GE(afterReply, 120.0);
  EXPECT_LE(afterReply, 250.0);

  // The handshake's reply is proof of life only; nothing is queued.
  std::vector<ReceiveData> records;
  connector.getReceiveData(records, false);
  EXPECT_TRUE(records.empty());
}

// Whether this process may give a thread a real-time priority.
bool realTimeAllowed() {
  bool allowed = false;
  std::thread probe([&allowed] {
    sched_param param{};
    param.sched_priority = sched_get_priority_min(SCHED_FIFO);
    allowed = pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0;
  });
  probe.join();
  return allowed;
}

TEST_F(ConnectorCycle, ThreadRunsAboveNormalPriorityWherePermitted) {
  ASSERT_TRUE(connector.connect());
  const bool allowed = realTimeAllowed();
  testing::internal::CaptureStderr();
  connector.startThread();
  // The thread raises itself before its first frame.
  ASSERT_TRUE(board.waitForReplies(board.replyCount() + 2, 2s));
  const std::string output = testing::internal::GetCapturedStderr();

  int policy = -1;
  sched_param param{};
  ASSERT_EQ(pthread_getschedparam(Probe::threadHandle(connector), &policy, &param), 0);
  if (allowed) {
    // A quarter up the range: 1 + (99 - 1) / 4 = 25 on Linux.
    const int low = sched_get_priority_min(SCHED_FIFO);
    const int high = sched_get_priority_max(SCHED_FIFO);
    EXPECT_EQ(policy, SCHED_FIFO);
    EXPECT_EQ(param.sched_priority, low + (high - low) / 4);
    EXPECT_EQ(output, "");
  } else {
    EXPECT_EQ(policy, SCHED_OTHER);
    EXPECT_EQ(output,
              "connector warning: communication thread keeps its normal priority (Operation not "
              "permitted)\n");
  }
}

TEST_F(ConnectorCycle, SequenceNumbersOnTheWireAndEveryReplyQueued) {
  bringUp();
  // One handshake frame, then the thread's: 105 frames take about 3.1 s.
  ASSERT_TRUE(board.waitForFrames(105, 10s));
  connector.stopThread();
  ASSERT_TRUE(board.waitForFrames(Probe::sendCount(connector), 2s));
  const std::vector<ReceivedFrame> frames = board.frames();
  ASSERT_GE(frames.size(), 106u);  // with the final stop command

  // Frame n (counted from 1, handshake included) carries (n mod 100) + 10:
  // 11, 12 ... 109, 10, 11 ...
  for (std::size_t i = 0; i < frames.size(); ++i) {
    const std::size_t number = i + 1;
    ASSERT_TRUE(frames[i].valid) << "frame " << number;
    EXPECT_EQ(frames[i].bytes[10], number % 100 + 10) << "frame " << number;
  }
  EXPECT_EQ(frames[98].bytes[10], 109);
  EXPECT_EQ(frames[99].bytes[10], 10);
  EXPECT_EQ(frames[100].bytes[10], 11);
  EXPECT_EQ(Probe::sendCount(connector), frames.size());

  // One frame per cycle: a cycle that sent twice, or caught up on missed
  // ones, would put two frames a few milliseconds apart. (How close to
  // 30 ms the periods keep is for the link benchmark.)
  for (std::size_t i = 2; i + 1 < frames.size(); ++i) {
    EXPECT_GE(msBetween(frames[i - 1].at, frames[i].at), 6.0) << "frame " << i + 1;
  }

  // Every reply was queued.
  std::vector<ReceiveData> records;
  connector.getReceiveData(records, false);
  EXPECT_GE(records.size(), 100u);
  for (const ReceiveData& record : records) {
    EXPECT_TRUE(record.isValid);
    EXPECT_EQ(record.status1, 0x41);
    EXPECT_EQ(record.status2, 0x41);
  }
}

TEST_F(ConnectorCycle, SetSendDataWithWaitReturnsWhenItsFrameIsWritten) {
  bringUp();
  ASSERT_TRUE(board.waitForFrames(5, 5s));

  for (std::uint8_t speed : {20, 60, 100}) {
    SCOPED_TRACE("speed " + std::to_string(speed));
    const SendData command = forwardCommand(speed);
    const std::size_t before = board.frameCount();
    const auto called = BoardClock::now();
    connector.setSendData(command, true);
    const auto returned = BoardClock::now();
    // Within about one cycle.
    EXPECT_LT(msBetween(called, returned), 100.0);

    // The first frame with the new command was written before the call
    // returned: it arrives at the board at once, not a cycle later.
    ASSERT_TRUE(board.waitForFrames(before + 2, 2s));
    const std::vector<ReceivedFrame> frames = board.framesFrom(before);
    const auto first =
        std::find_if(frames.begin(), frames.end(),
                     [&command](const ReceivedFrame& f) { return carries(f, command); });
    ASSERT_NE(first, frames.end());
    EXPECT_LT(msBetween(returned, first->at), 10.0);
    // Every later frame repeats it.
    for (auto it = first; it != frames.end(); ++it) {
      EXPECT_TRUE(carries(*it, command));
    }
  }
}

TEST_F(ConnectorCycle, StopThreadReleasesWaitersAndEndsWithTheStopCommand) {
  bringUp();
  const SendData command = forwardCommand(50);
  connector.setSendData(command, true);
  // No more replies: a record waiter can only be released by stopThread.
  board.setSilent(true);
  ASSERT_TRUE(board.waitForFrames(board.frameCount() + 2, 2s));

  std::atomic<bool> recordWaiterDone{false};
  auto recordWaiter = std::async(std::launch::async, [this, &recordWaiterDone] {
    std::vector<ReceiveData> records;
    connector.getReceiveData(records, true);
    recordWaiterDone = true;
  });
  auto commandWaiter = std::async(std::launch::async, [this] {
    const SendData faster = forwardCommand(51);
    connector.setSendData(faster, true);
  });
  // The record waiter stays blocked while the thread runs.
  EXPECT_EQ(recordWaiter.wait_for(300ms), std::future_status::timeout);
  EXPECT_FALSE(recordWaiterDone);

  connector.stopThread();
  EXPECT_EQ(recordWaiter.wait_for(2s), std::future_status::ready);
  EXPECT_EQ(commandWaiter.wait_for(2s), std::future_status::ready);
  EXPECT_FALSE(Probe::isRunning(connector));
  EXPECT_FALSE(Probe::hasThread(connector));

  // The last frame on the wire is the stop command, after the commands.
  ASSERT_TRUE(board.waitForFrames(Probe::sendCount(connector), 2s));
  const std::vector<ReceivedFrame> frames = board.frames();
  ASSERT_GE(frames.size(), 3u);
  EXPECT_TRUE(frames.back().valid);
  EXPECT_TRUE(isStopCommand(frames.back()));
  EXPECT_TRUE(carries(frames[frames.size() - 2], forwardCommand(51)));
  EXPECT_EQ(Probe::sendCount(connector), frames.size());
}

TEST_F(ConnectorCycle, InvalidRepliesAreDroppedAndLeaveTheParityCountAlone) {
  bringUp();
  testing::internal::CaptureStderr();
  // From now on every reply is flagged as a parity error, and every second
  // one has a bad check byte.
  board.setStatusBytes(0x71, 0x41);
  board.setCorruptEvery(2);
  const std::uint64_t start = board.replyCount();
  ASSERT_TRUE(board.waitForReplies(start + 20, 5s));
  connector.stopThread();
  const std::string output = testing::internal::GetCapturedStderr();

  std::vector<ReceiveData> all;
  connector.getReceiveData(all, false);
  std::vector<ReceiveData> records;
  std::vector<double> elapsed;
  for (const ReceiveData& record : all) {
    EXPECT_TRUE(record.status1 == 0x41 || record.status1 == 0x71);
    if (record.status1 == 0x71) {
      records.push_back(record);
      elapsed.push_back(record.elapsed);
    }
  }
  // Half of the 20 or so flagged replies were bad.
  EXPECT_GE(records.size(), 9u);
  EXPECT_LE(records.size(), 12u);
  // A bad frame is no measurement: the next record's time reaches back to
  // the previous good one, about two cycles, so the odometry keeps the
  // distance driven meanwhile.
  EXPECT_GE(quantile(elapsed, 0.5), 50.0);
  EXPECT_LE(quantile(elapsed, 0.5), 75.0);

  // One error line per queued record, counting up without a gap: the bad
  // frames in between neither count nor reset. They are reported apart, at
  // most once a second.
  const std::string prefix = "TolvarineController : error parity cnt=>";
  const std::string rejectedPrefix = "connector warning: ";
  std::vector<int> counts;
  int rejectedLines = 0;
  std::istringstream lines(output);
  for (std::string line; std::getline(lines, line);) {
    if (line.compare(0, rejectedPrefix.size(), rejectedPrefix) == 0) {
      EXPECT_NE(line.find("rejected for a bad check byte"), std::string::npos) << line;
      ++rejectedLines;
      continue;
    }
    ASSERT_EQ(line.compare(0, prefix.size(), prefix), 0) << line;
    const std::string digits = line.substr(prefix.size());
    ASSERT_FALSE(digits.empty());
    ASSERT_EQ(digits.find_first_not_of("0123456789"), std::string::npos) << line;
    counts.push_back(std::stoi(digits));
  }
  ASSERT_EQ(counts.size(), records.size());
  for (std::size_t i = 0; i < counts.size(); ++i) {
    EXPECT_EQ(counts[i], static_cast<int>(i));
  }
  EXPECT_EQ(Probe::parityErrorCount(connector), records.size());
  EXPECT_GE(rejectedLines, 1);
  EXPECT_LE(rejectedLines, 2);  // 20 cycles last well under two seconds
}

TEST_F(ConnectorCycle, MissedReplyIsCoveredByTheNextElapsedTime) {
  bringUp();
  board.setDropEvery(3);
  const std::uint64_t start = board.replyCount();
  ASSERT_TRUE(board.waitForReplies(start + 12, 5s));
  connector.stopThread();

  std::vector<ReceiveData> records;
  connector.getReceiveData(records, false);
  int longGaps = 0;
  for (const ReceiveData& record : records) {
    // A record after a dropped reply spans the silent cycle too.
    if (record.elapsed >= 50) {
      ++longGaps;
      EXPECT_LE(record.elapsed, 90);
    }
  }
  EXPECT_GE(longGaps, 4);
}

}  // namespace
}  // namespace tolvarine_controller
