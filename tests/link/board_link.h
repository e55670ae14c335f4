#ifndef TOLVARINE_TESTS_LINK_BOARD_LINK_H
#define TOLVARINE_TESTS_LINK_BOARD_LINK_H

// A connector wired to the simulated board, and helpers to read the board's
// record of the command frames it received.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "connector.h"
#include "tolvarine_board_sim/simulated_board.h"
#include "tolvarine_controller/send_data.h"

namespace tolvarine_controller {

using tolvarine_board_sim::BoardOptions;
using tolvarine_board_sim::ReceivedFrame;
using tolvarine_board_sim::SimulatedBoard;
using BoardClock = tolvarine_board_sim::Clock;

class BoardLinkTest : public testing::Test {
 protected:
  explicit BoardLinkTest(BoardOptions options = BoardOptions()) : board(options) {}

  void SetUp() override {
    std::string error;
    ASSERT_TRUE(board.start(&error)) << error;
    ASSERT_TRUE(connector.open(board.devicePath()));
  }

  // connect and startThread, as the controller does.
  void bringUp() {
    ASSERT_TRUE(connector.connect());
    connector.startThread();
  }

  SimulatedBoard board;
  Connector connector;
};

// The ten payload bytes of a command frame, to compare with a SendData.
inline bool carries(const ReceivedFrame& frame, const SendData& data) {
  return frame.bytes[1] == data.leftDirection && frame.bytes[2] == data.rightDirection &&
         frame.bytes[3] == data.leftSpeed && frame.bytes[4] == data.rightSpeed &&
         frame.bytes[5] == data.option1 && frame.bytes[6] == data.option2 &&
         frame.bytes[7] == data.option3 && frame.bytes[8] == data.option4 &&
         frame.bytes[9] == data.option5;
}

inline bool isStopCommand(const ReceivedFrame& frame) {
  return carries(frame, SendData());
}

inline double msBetween(BoardClock::time_point from, BoardClock::time_point to) {
  return std::chrono::duration<double, std::milli>(to - from).count();
}

// Value at quantile q (0..1) of `values`, nearest rank.
inline double quantile(std::vector<double> values, double q) {
  if (values.empty()) {
    return 0.0;
  }
  std::sort(values.begin(), values.end());
  const std::size_t index =
      std::min(values.size() - 1, static_cast<std::size_t>(q * static_cast<double>(values.size())));
  return values[index];
}

inline SendData forwardCommand(std::uint8_t speed) {
  SendData data;
  data.leftDirection = 0x40;  // the left motor runs mirrored
  data.rightDirection = 0x41;
  data.leftSpeed = speed;
  data.rightSpeed = speed;
  return data;
}

}  // namespace tolvarine_controller

#endif  // TOLVARINE_TESTS_LINK_BOARD_LINK_H
