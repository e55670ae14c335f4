// A board that never answers: the handshake gives up after 10 s, having sent
// a stop command on every attempt. Kept in a program of its own so that its
// ten seconds overlap the other tests.

#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "board_link.h"
#include "connector.h"
#include "connector_probe.h"

namespace tolvarine_controller {
namespace {

using Probe = ConnectorProbe;
using namespace std::chrono_literals;

using ConnectorHandshakeTimeout = BoardLinkTest;

TEST_F(ConnectorHandshakeTimeout, SilentBoardFailsAfterTenSeconds) {
  board.setSilent(true);
  const auto start = BoardClock::now();
  EXPECT_FALSE(connector.connect());
  const double took = msBetween(start, BoardClock::now());
  // The limit is checked before each attempt; an attempt lasts a read
  // window and a 1 ms pause.
  EXPECT_GE(took, 9990.0);  // the tick counts whole milliseconds
  EXPECT_LE(took, 10500.0);

  ASSERT_TRUE(board.waitForFrames(Probe::sendCount(connector), 2s));
  const std::vector<ReceivedFrame> frames = board.frames();
  // Roughly one attempt per 11 ms, so several hundred, but no busy loop.
  EXPECT_GE(frames.size(), 300u);
  EXPECT_LE(frames.size(), 1000u);
  for (std::size_t i = 0; i < frames.size(); ++i) {
    ASSERT_TRUE(frames[i].valid);
    EXPECT_TRUE(isStopCommand(frames[i]));
    EXPECT_EQ(frames[i].bytes[10], (i + 1) % 100 + 10);
  }
  EXPECT_EQ(board.replyCount(), 0u);
}

}  // namespace
}  // namespace tolvarine_controller
