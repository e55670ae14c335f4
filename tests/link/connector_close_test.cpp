// Closing the link straight after its thread ends must not take back the
// final stop command: the chair would keep its last speed.

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "board_link.h"
#include "connector.h"

namespace tolvarine_controller {
namespace {

using namespace std::chrono_literals;

TEST(ConnectorClose, TheFinalStopCommandSurvivesAnImmediateClose) {
  SimulatedBoard board;
  std::string error;
  ASSERT_TRUE(board.start(&error)) << error;

  // The loss was intermittent (a race with the board's reads), so repeat.
  for (int round = 0; round < 8; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    Connector connector;
    ASSERT_TRUE(connector.open(board.devicePath()));
    ASSERT_TRUE(connector.connect());
    connector.startThread();
    connector.setSendData(forwardCommand(40), true);
    connector.setSendData(forwardCommand(40), true);

    const std::size_t before = board.frameCount();
    connector.stopThread();
    connector.close();
    ASSERT_TRUE(board.waitForClient(false, 2s));

    const std::vector<ReceivedFrame> frames = board.frames();
    ASSERT_GT(frames.size(), before);
    EXPECT_TRUE(frames.back().valid);
    EXPECT_TRUE(isStopCommand(frames.back()));
  }
}

}  // namespace
}  // namespace tolvarine_controller
