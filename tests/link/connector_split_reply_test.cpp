// Replies that straddle the end of the read window are completed, not lost,
// and the time between records still adds up.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <vector>

#include "board_link.h"
#include "connector.h"
#include "connector_probe.h"

namespace tolvarine_controller {
namespace {

using namespace std::chrono_literals;

BoardOptions lateReplies() {
  BoardOptions options;
  // The reply starts 6 ms after the command; its first four bytes come at
  // once, the other five 6 ms later: 2 ms after the 10 ms read window.
  options.replyDelay = 6ms;
  return options;
}

class ConnectorSplitReply : public BoardLinkTest {
 protected:
  ConnectorSplitReply() : BoardLinkTest(lateReplies()) {}
  void SetUp() override {
    BoardLinkTest::SetUp();
    board.setSplitReply(4, 6ms);
  }

  // Runs the thread for `duration` and returns the records and the wall time
  // bounds of the thread's life.
  struct Run {
    std::vector<ReceiveData> records;
    double shortestMs;  // from the thread running to stopThread being called
    double longestMs;   // from just before startThread to stopThread returning
  };
  Run runFor(std::chrono::milliseconds duration) {
    Run run;
    const auto beforeStart = BoardClock::now();
    connector.startThread();
    const auto afterStart = BoardClock::now();
    std::vector<ReceiveData> taken;
    const auto until = afterStart + duration;
    while (BoardClock::now() < until) {
      connector.getReceiveDataFor(taken, 100ms);
      run.records.insert(run.records.end(), taken.begin(), taken.end());
    }
    const auto stopCalled = BoardClock::now();
    connector.stopThread();
    const auto stopped = BoardClock::now();
    connector.getReceiveData(taken, false);
    run.records.insert(run.records.end(), taken.begin(), taken.end());
    run.shortestMs = msBetween(afterStart, stopCalled);
    run.longestMs = msBetween(beforeStart, stopped);
    return run;
  }
};

std::int64_t elapsedSum(const std::vector<ReceiveData>& records) {
  std::int64_t sum = 0;
  for (const ReceiveData& record : records) {
    sum += record.elapsed;
  }
  return sum;
}

TEST_F(ConnectorSplitReply, SplitRepliesStillArriveAndTheirTimesAddUp) {
  // The handshake reads split replies too.
  ASSERT_TRUE(connector.connect());
  const Run run = runFor(1500ms);

  // About 50 cycles of 30 ms; each one's reply is completed.
  EXPECT_GE(run.records.size(), 35u);
  for (const ReceiveData& record : run.records) {
    EXPECT_TRUE(record.isValid);
    EXPECT_EQ(record.status1, 0x41);
  }
  // The elapsed times chain from the thread's start to its last read, which
  // came at most a cycle or so before stopThread.
  const std::int64_t sum = elapsedSum(run.records);
  EXPECT_LE(sum, run.longestMs + 2);
  EXPECT_GE(sum, run.shortestMs - 100);
}

TEST_F(ConnectorSplitReply, MissingRepliesDoNotLoseTime) {
  ASSERT_TRUE(connector.connect());
  board.setDropEvery(4);
  const Run run = runFor(1500ms);

  EXPECT_GE(run.records.size(), 25u);
  int longGaps = 0;
  for (const ReceiveData& record : run.records) {
    if (record.elapsed >= 50) {
      ++longGaps;
    }
  }
  EXPECT_GE(longGaps, 5);
  const std::int64_t sum = elapsedSum(run.records);
  EXPECT_LE(sum, run.longestMs + 2);
  EXPECT_GE(sum, run.shortestMs - 130);
}

}  // namespace
}  // namespace tolvarine_controller
