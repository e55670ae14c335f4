#ifndef TOLVARINE_TESTS_SUPPORT_BOARD_FRAMES_H
#define TOLVARINE_TESTS_SUPPORT_BOARD_FRAMES_H

// Reads the command frames that reached the simulated board, one at a time,
// as signed wheel counts: what the controllers really sent, byte for byte.
//
// On a loaded machine the control thread may plan a cycle too late; the
// link then repeats the last command. So a sequence of commands is followed
// change by change, and the cycles at rest are counted over more than one
// stretch, where the shortest one shows the controller's own count.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <iterator>
#include <ostream>
#include <string>
#include <thread>

#include "tolvarine_board_sim/simulated_board.h"

namespace tolvarine_controller {
namespace testing_board {

using tolvarine_board_sim::ReceivedFrame;
using tolvarine_board_sim::SimulatedBoard;
using namespace std::chrono_literals;

constexpr int kForward = -1;
constexpr int kReversed = 1;
constexpr int kNoMark = 0xFF;
constexpr int kRestMark = 40;
constexpr auto kPatience = 5s * TOLVARINE_TEST_TIME_SCALE;

// The link's own stop command: directions 0x30, speeds 0, the fixed bytes, no mark.
inline bool isStopCommand(const ReceivedFrame& f) {
  static const std::uint8_t kStop[] = {0x30, 0x30, 0x00, 0x00, 0xCC, 0x1A, 0x1A, 0x64, 0xFF};
  return f.valid && std::equal(std::begin(kStop), std::end(kStop), f.bytes.begin() + 1);
}

inline std::string describe(const ReceivedFrame& frame) {
  std::string text;
  char byte[4];
  for (std::uint8_t b : frame.bytes) {
    std::snprintf(byte, sizeof byte, "%02X ", b);
    text += byte;
  }
  return text + (frame.valid ? "(valid)" : "(invalid)");
}

// Bytes 2/4 (right) and 1/3 (left) of a command frame as signed counts:
// direction 0x41 is +, anything else -.
struct Wheels {
  int right = 0;
  int left = 0;
  bool operator==(const Wheels& o) const { return right == o.right && left == o.left; }
  bool operator!=(const Wheels& o) const { return !(*this == o); }
};
inline std::ostream& operator<<(std::ostream& out, const Wheels& w) {
  return out << "(right " << w.right << ", left " << w.left << ")";
}
inline Wheels wheelsOf(const ReceivedFrame& f) {
  const auto count = [&f](int direction, int speed) {
    return f.bytes[direction] == 0x41 ? int(f.bytes[speed]) : -int(f.bytes[speed]);
  };
  return {count(2, 4), count(1, 3)};
}

struct Command {
  Wheels wheels;
  int mark = 0;       // option5, byte 9
  bool stop = false;  // the link's own stop command (direction bytes 0x30)
};

class FrameReader {
 public:
  explicit FrameReader(const SimulatedBoard& board) : board_(board), next_(board.frameCount()) {}

  // The next valid frame past those already read; fails the test (and
  // returns a stop command) if none comes.
  Command next() {
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (std::chrono::steady_clock::now() < deadline) {
      for (const auto& f : board_.framesFrom(next_)) {
        ++next_;
        if (f.valid) {
          return {wheelsOf(f), f.bytes[9], f.bytes[1] == 0x30 && f.bytes[2] == 0x30};
        }
      }
      board_.waitForFrames(board_.validFrameCount() + 1, 100ms);
    }
    ADD_FAILURE() << "no command frame reached the board";
    return {{}, 0, true};
  }

  // Reads until the wheels show `wanted` (within `cycles` frames), then
  // checks that two more frames keep them. False when they never came.
  // `again`, if given, runs before every frame, as a caller that repeats its
  // command every cycle: a link lost for a moment on a loaded machine drops
  // the targets, and the repeated command brings them back.
  bool settlesAt(Wheels wanted, int cycles = 10, const std::function<void()>& again = {}) {
    for (int i = 0; i < cycles; ++i) {
      if (again) {
        again();
      }
      if (next().wheels == wanted) {
        holds(wanted, 2, "did not stay");
        return true;
      }
    }
    ADD_FAILURE() << "the wheels never showed " << wanted;
    return false;
  }

  // The next `frames` frames all show `wanted`.
  void holds(Wheels wanted, int frames, const char* why = "") {
    for (int i = 0; i < frames; ++i) {
      EXPECT_EQ(next().wheels, wanted) << why;
    }
  }

  // The next frame whose wheels differ from `from`'s.
  Command nextChange(const Command& from) {
    for (int i = 0; i < 20; ++i) {
      const Command c = next();
      if (c.wheels != from.wheels) {
        return c;
      }
    }
    ADD_FAILURE() << "the wheels stayed at " << from.wheels;
    return from;
  }

  // Skips the frames sent so far.
  void skipToEnd() { next_ = board_.frameCount(); }

 private:
  const SimulatedBoard& board_;
  std::size_t next_;
};

// From `first`, the first frame at rest, on: the frames without the rest
// mark, which must then come in every frame.
inline int cyclesBeforeRestMark(FrameReader& frames, Command first) {
  Command c = first;
  int cycles = 0;
  for (; c.mark == kNoMark && cycles < 50; ++cycles) {
    EXPECT_EQ(c.wheels, Wheels{});
    c = frames.next();
  }
  for (int k = 0; k < 3; ++k) {
    EXPECT_EQ(c.wheels, Wheels{});
    EXPECT_EQ(c.mark, kRestMark);
    c = frames.next();
  }
  return cycles;
}

// The first frame of a control thread: the first one after the link's own
// stop commands, which it sends through the handshake and settling pause.
inline Command firstControlFrame(FrameReader& frames) {
  Command c = frames.next();
  for (int i = 0; !c.stop && i < 1000; ++i) {
    c = frames.next();
  }
  for (int i = 0; c.stop && i < 1000; ++i) {
    c = frames.next();
  }
  return c;
}

inline bool startBoard(SimulatedBoard& board) {
  std::string error;
  const bool started = board.start(&error);
  EXPECT_TRUE(started) << error;
  return started;
}

}  // namespace testing_board
}  // namespace tolvarine_controller

#endif  // TOLVARINE_TESTS_SUPPORT_BOARD_FRAMES_H
