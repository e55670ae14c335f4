#ifndef TOLVARINE_TESTS_MOTION_BOARD_HELPERS_H
#define TOLVARINE_TESTS_MOTION_BOARD_HELPERS_H

// Reading what the controllers sent off the simulated board's frame record,
// and the expected command bytes, worked out from the wheel gains.

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "tolvarine_board_sim/simulated_board.h"

namespace tolvarine_controller {
namespace testing_board {

using tolvarine_board_sim::ReceivedFrame;
using tolvarine_board_sim::SimulatedBoard;

// Counts per m/s of the command encoding, and the wheel limits in mm/s.
constexpr double kRightGain = 123.29166666666666;
constexpr double kLeftGain = 124.41666666666669;
constexpr double kRightLimit = 2068.2663061845219;  // 255 counts / right gain, mm/s
constexpr double kLeftLimit = 2049.5646349631616;   // 255 counts / left gain, mm/s

constexpr std::uint8_t kForwardByte = 0x41;
constexpr std::uint8_t kBackwardByte = 0x40;
constexpr std::uint8_t kStopByte = 0x30;
constexpr std::uint8_t kNoRestMark = 0xFF;
constexpr std::uint8_t kRestMark = 40;

// The bytes of one command frame that carry the wheels and the rest mark.
struct Command {
  std::uint8_t leftDirection;
  std::uint8_t rightDirection;
  std::uint8_t leftSpeed;
  std::uint8_t rightSpeed;
  std::uint8_t option5;

  bool sameWheels(const Command& o) const {
    return leftDirection == o.leftDirection && rightDirection == o.rightDirection &&
           leftSpeed == o.leftSpeed && rightSpeed == o.rightSpeed;
  }
  bool isStopCommand() const { return leftDirection == kStopByte && rightDirection == kStopByte; }
};

inline Command commandOf(const ReceivedFrame& frame) {
  return Command{frame.bytes[1], frame.bytes[2], frame.bytes[3], frame.bytes[4], frame.bytes[9]};
}

inline std::string describe(const Command& c) {
  char text[64];
  std::snprintf(text, sizeof text, "L %02X/%u R %02X/%u opt5 %u", c.leftDirection, c.leftSpeed,
                c.rightDirection, c.rightSpeed, c.option5);
  return text;
}

// Direction and speed byte of one wheel: floor of counts, sign in the
// direction byte, magnitude limited to a byte.
inline void wheelBytes(double signedMmS, double gain, std::uint8_t* direction,
                       std::uint8_t* speed) {
  const double counts = std::floor(signedMmS / 1000.0 * gain);
  *direction = counts > 0 ? kForwardByte : kBackwardByte;
  const double magnitude = std::fabs(counts);
  *speed = static_cast<std::uint8_t>(magnitude > 255 ? 255 : magnitude);
}

// Expected wheel bytes for commanded wheel speeds (mm/s). In the forward
// mounting the left wheel's forward is the negative count; the reversed
// mounting flips both.
inline Command expectedWheels(double rightMmS, double leftMmS, int direction) {
  const double r = direction == -1 ? rightMmS : -rightMmS;
  const double l = direction == -1 ? -leftMmS : leftMmS;
  Command c{};
  wheelBytes(r, kRightGain, &c.rightDirection, &c.rightSpeed);
  wheelBytes(l, kLeftGain, &c.leftDirection, &c.leftSpeed);
  c.option5 = kNoRestMark;
  return c;
}

struct WheelPair {
  double right;
  double left;
};

// The commands each control cycle should send while ramping from `from` to
// `to` at `step` mm/s per cycle, clamped to the wheel limits, up to and
// including the cycle in which both wheels have arrived.
inline std::vector<WheelPair> rampCycles(WheelPair from, WheelPair to, double step) {
  auto next = [step](double command, double target, double limit) {
    const double gap = target - command;
    double value;
    if (std::fabs(gap) / step > 1) {
      value = command + (gap > 0 ? step : -step);
    } else {
      value = target;
    }
    return value > limit ? limit : (value < -limit ? -limit : value);
  };
  auto clampTo = [](double v, double limit) {
    return v > limit ? limit : (v < -limit ? -limit : v);
  };
  const WheelPair end{clampTo(to.right, kRightLimit), clampTo(to.left, kLeftLimit)};
  std::vector<WheelPair> cycles;
  WheelPair now = from;
  while ((now.right != end.right || now.left != end.left) && cycles.size() < 10000) {
    now.right = next(now.right, to.right, kRightLimit);
    now.left = next(now.left, to.left, kLeftLimit);
    cycles.push_back(now);
  }
  return cycles;
}

// Follows the board's frame record from a given index on.
class FrameReader {
 public:
  explicit FrameReader(const SimulatedBoard& board) : board_(board), next_(board.frameCount()) {}

  // Marks "now": later reads start here.
  void skipToEnd() { next_ = board_.frameCount(); }
  std::size_t position() const { return next_; }

  // Waits until `count` valid frames past the mark exist and returns them
  // (all frames past the mark, oldest first); fails the test on time-out.
  std::vector<Command> waitFor(std::size_t count, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::vector<Command> commands;
    while (true) {
      commands.clear();
      for (const ReceivedFrame& f : board_.framesFrom(next_)) {
        if (f.valid) {
          commands.push_back(commandOf(f));
        }
      }
      if (commands.size() >= count || std::chrono::steady_clock::now() >= deadline) {
        break;
      }
      board_.waitForFrames(board_.validFrameCount() + 1, std::chrono::milliseconds(100));
    }
    EXPECT_GE(commands.size(), count) << "the board received too few frames";
    return commands;
  }

 private:
  const SimulatedBoard& board_;
  std::size_t next_;
};

// Index of the first command whose wheel bytes differ from `from`'s, or
// commands.size() when there is none.
inline std::size_t firstChange(const std::vector<Command>& commands, const Command& from) {
  for (std::size_t i = 0; i < commands.size(); ++i) {
    if (!commands[i].sameWheels(from)) {
      return i;
    }
  }
  return commands.size();
}

// After a controller has closed the link: nothing more reaches the board,
// and the commands of the control thread run right up to the link's own
// final stop frame. (That frame may itself be missing: closing the port
// discards output the board has not read yet.)
inline void expectQuietAfterClose(const SimulatedBoard& board, std::size_t since) {
  EXPECT_TRUE(board.waitForClient(false, std::chrono::seconds(1)));
  const std::size_t count = board.validFrameCount();
  EXPECT_FALSE(board.waitForFrames(count + 1, std::chrono::milliseconds(300)))
      << "a frame arrived after the close";
  const std::vector<ReceivedFrame> frames = board.framesFrom(since);
  std::size_t trailingStops = 0;
  while (trailingStops < frames.size() &&
         commandOf(frames[frames.size() - 1 - trailingStops]).isStopCommand()) {
    ++trailingStops;
  }
  EXPECT_LE(trailingStops, 1u);
  EXPECT_GT(frames.size(), trailingStops) << "no control command reached the board";
}

inline std::size_t threadCount() {
  std::size_t n = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
    (void)entry;
    ++n;
  }
  return n;
}

inline bool startBoard(SimulatedBoard& board) {
  std::string error;
  const bool ok = board.start(&error);
  EXPECT_TRUE(ok) << error;
  return ok;
}

}  // namespace testing_board
}  // namespace tolvarine_controller

#endif  // TOLVARINE_TESTS_MOTION_BOARD_HELPERS_H
