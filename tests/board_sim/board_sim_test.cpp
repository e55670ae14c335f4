// The simulated board fed hand-made frames over its pseudo-terminal. Other tests
// take this board as the truth, so expected values are worked out by hand from the protocol's
// numbers: 123.29167 (right), 124.41667 (left) counts per m/s in, 19.5333 mm/s per count out.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cmath>
#include <functional>
#include <memory>
#include <thread>

#include "tolvarine_board_sim/simulated_board.h"

namespace {

using namespace std::chrono_literals;
using tolvarine_board_sim::BoardOptions;
using tolvarine_board_sim::ChairState;
using tolvarine_board_sim::SimulatedBoard;
using U8 = std::uint8_t;
using Bytes = std::vector<U8>;
using SteadyClock = std::chrono::steady_clock;

// For what should happen at once: a loaded machine can stall a thread long.
constexpr std::chrono::milliseconds kPatience{3000 * TOLVARINE_TEST_TIME_SCALE};

// Sum of bytes [first, last] modulo 256; a sum equal to the start byte goes as 0xFD.
U8 checkByte(const Bytes& bytes, std::size_t first, std::size_t last) {
  unsigned sum = 0;
  for (std::size_t i = first; i <= last; ++i)
    sum += bytes[i];
  return (sum & 0xFF) == 0x02 ? 0xFD : static_cast<U8>(sum & 0xFF);
}
Bytes command(U8 leftDirection, U8 rightDirection, U8 leftSpeed, U8 rightSpeed, U8 sequence) {
  Bytes frame{0x02, leftDirection, rightDirection, leftSpeed, rightSpeed, 0xCC,
              0x1A, 0x1A,          0x64,           0xFF,      sequence,   0};
  frame[11] = checkByte(frame, 1, 10);
  return frame;
}
const auto stop = [](U8 sequence) { return command(0x30, 0x30, 0, 0, sequence); };
// The controller's 1 m/s: right 123 = 0.99763 m/s (51.07 counts), left 125 = 1.00469 (51.43).
const auto forward = [](U8 sequence) { return command(0x40, 0x41, 125, 123, sequence); };
const auto status = [](U8 s2, U8 l, U8 r, U8 check) {
  return Bytes{0x02, 0x41, s2, l, r, 0, 0, 0, check};
};

// Opened as the controller opens its port: raw, exclusive, non-blocking.
struct Client {
  explicit Client(const std::string& p) : fd(::open(p.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK)) {
    termios tio{};
    tcgetattr(fd, &tio);
    cfmakeraw(&tio);
    tcsetattr(fd, TCSANOW, &tio);
    ioctl(fd, TIOCEXCL);
  }
  ~Client() { ::close(fd); }
  bool send(const Bytes& b) { return ::write(fd, b.data(), b.size()) == ssize_t(b.size()); }
  // Up to `count` bytes, as many as arrive before the timeout.
  Bytes read(std::size_t count, std::chrono::milliseconds timeout = kPatience) {
    Bytes out;
    U8 byte = 0;
    for (auto end = SteadyClock::now() + timeout; out.size() < count && SteadyClock::now() < end;) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 5) > 0 && ::read(fd, &byte, 1) == 1)
        out.push_back(byte);
    }
    return out;
  }
  int available() const { return ioctl(fd, FIONREAD, &pending), pending; }
  const int fd;
  mutable int pending = -1;
};

struct Board : ::testing::Test {
  // Motors that take the commanded speed at once; each report rounded alone.
  void start() {
    BoardOptions options;
    options.maxAcceleration = 0.0;
    options.carryCountFraction = false;
    board = std::make_unique<SimulatedBoard>(options);
    ASSERT_TRUE(board->start());
    client = std::make_unique<Client>(board->devicePath());
  }
  Bytes exchange(const Bytes& frame) { return client->send(frame) ? client->read(9) : Bytes{}; }
  // The state once the board has taken the frame (its reply read) and `seconds` later.
  std::pair<ChairState, ChairState> drive(const Bytes& frame, double seconds) {
    EXPECT_EQ(exchange(frame).size(), 9u);
    std::pair<ChairState, ChairState> states{board->state(), board->state()};
    while (states.second.pose.time < states.first.pose.time + seconds)
      std::this_thread::sleep_for(5ms), states.second = board->state();
    return states;
  }
  std::unique_ptr<SimulatedBoard> board;
  std::unique_ptr<Client> client;
};

TEST_F(Board, AnswersEachCommandWithTheWheelCountsOfItsSpeeds) {
  // Left count forward below 128, right count forward above.
  const std::tuple<const char*, Bytes, Bytes> cases[] = {
      {"stop", stop(11), status(0x41, 128, 128, 0x82)},
      {"forward", forward(12), status(0x41, 77, 179, 0x82)},
      {"backward", command(0x41, 0x40, 125, 123, 13), status(0x41, 179, 77, 0x82)},
      // 1 m to the left at 0.5 m/s: right 0.63265 m/s = 32.39, left 0.36973 = 18.93 counts.
      {"left turn", command(0x40, 0x41, 46, 78, 14), status(0x41, 109, 160, 0x8F)},
      // On the spot: right +0.50287 m/s = 25.74, left -0.49833 = -25.51 counts.
      {"spin", command(0x41, 0x41, 62, 62, 15), status(0x41, 154, 154, 0xB6)},
      {"no direction", command(0x30, 0x31, 200, 200, 16), status(0x41, 128, 128, 0x82)},
      {"escaped check", stop(63), status(0x41, 128, 128, 0x82)},  // payload sum 0x02: 0xFD
      // 0x41 + 0xC1 + 0x80 + 0x80 = 0x202: the reply's check byte is escaped too.
      {"escaped reply", stop(64), status(0xC1, 128, 128, 0xFD)},
  };
  start();
  for (const auto& [name, frame, reply] : cases) {
    SCOPED_TRACE(name);
    board->setStatusBytes(0x41, reply[2]);
    EXPECT_EQ(exchange(frame), reply);
  }
  const Bytes frame = forward(17);  // in two writes; 0x41 + 0xC1 + 77 + 179 = 0x202 again
  ASSERT_TRUE(client->send(Bytes(frame.begin(), frame.begin() + 5)));
  std::this_thread::sleep_for(10ms);
  EXPECT_EQ(exchange(Bytes(frame.begin() + 5, frame.end())), status(0xC1, 77, 179, 0xFD));
  const auto n = std::size(cases) + 1;
  ASSERT_TRUE(board->waitForReplies(n, kPatience));  // counted once written, maybe after we read
  EXPECT_TRUE(board->validFrameCount() == n && board->replyCount() == n && !board->badFrameCount());
}

TEST_F(Board, IgnoresFramesWithABadStartCheckOrLengthAndFindsTheNextOne) {
  Bytes badCheck = stop(11), badStart = stop(11), longFrame = stop(11);
  badCheck[11] ^= 0x01;
  badStart[0] = 0x03;  // 03 30 30 00 00 CC 1A 1A 64 FF 0B CE: no 0x02 in it
  longFrame.insert(longFrame.begin() + 10, 0x0B);
  const Bytes unescaped{0x02, 0x30, 0x30, 0x00, 0x00, 0xCC, 0x1A, 0x1A, 0x64, 0xFF, 0x3F, 0x02};
  // What is sent ahead of a good frame, and how many bad frames the board records for it.
  const std::tuple<const char*, Bytes, unsigned> cases[] = {
      {"bad check", badCheck, 1},
      {"bad start", badStart, 1},
      {"short", Bytes(badCheck.begin(), badCheck.end() - 1), 1},  // ends with the next start byte
      {"long", longFrame, 2},                                     // 12 bytes, then a stray one
      {"unescaped check", unescaped, 2},  // whose check byte starts a false frame
      {"junk, false start", {0xAA, 0xBB, 0x02, 0xCC}, 2},
  };
  for (const auto& [name, sent, bad] : cases) {
    SCOPED_TRACE(name);
    start();
    EXPECT_EQ((client->send(sent), exchange(forward(12))), status(0x41, 77, 179, 0x82));
    std::this_thread::sleep_for(20ms);  // room for an answer that must not come
    EXPECT_TRUE(board->waitForReplies(1, kPatience) && board->replyCount() == 1u);
    EXPECT_EQ(client->available(), 0);
    const auto frames = board->frames();
    ASSERT_TRUE(frames.size() == bad + 1 && board->badFrameCount() == bad) << frames.size();
    EXPECT_EQ(Bytes(frames[0].bytes.begin(), frames[0].bytes.begin() + 2),
              Bytes(sent.begin(), sent.begin() + 2));
    EXPECT_TRUE(!frames[0].valid && frames[bad].valid);
    EXPECT_EQ(Bytes(frames[bad].bytes.begin(), frames[bad].bytes.end()), forward(12));
  }
}

TEST_F(Board, DrivesTheChairAlongTheArcOfItsWheelSpeeds) {
  // Wheel speeds (m/s), then v, their mean, and w, their difference over the tread (rad/s).
  const std::tuple<const char*, Bytes, double, double, double, double> cases[] = {
      {"stop", stop(11), 0, 0, 0, 0},
      {"forward", forward(11), 0.9976343, 1.0046885, 1.0011614, -0.0128539},
      {"back", command(0x41, 0x40, 125, 123, 11), -0.9976343, -1.0046885, -1.0011614, 0.0128539},
      {"circle", command(0x40, 0x41, 50, 150, 11), 1.2166272, 0.4018754, 0.8092513, 1.4846061},
      {"spin", command(0x41, 0x41, 62, 62, 11), 0.5028726, -0.4983255, 0.0022735, 1.8243406},
  };
  for (const auto& [name, frame, right, left, v, w] : cases) {
    SCOPED_TRACE(name);
    start();
    const auto [s1, s2] = drive(frame, 0.25);
    const double t = s2.pose.time - s1.pose.time;
    EXPECT_NEAR(s2.motors.right, right, 1e-6);
    EXPECT_NEAR(s2.motors.left, left, 1e-6);
    EXPECT_NEAR(s2.pose.theta - s1.pose.theta, w * t, 1e-6);
    EXPECT_NEAR(s2.pose.distance - s1.pose.distance, std::fabs(v) * t, 1e-6);
    // From rest at the origin heading +x: on the circle of radius v / w around (0, v / w).
    const double r = w == 0.0 ? 0.0 : v / w;
    EXPECT_NEAR(std::hypot(s2.pose.x, s2.pose.y - r), std::fabs(r), 1e-7);
  }
}

// A reply reads as its frame's number, carried in status byte 1, with "x" after it for a wrong
// check byte and "s" before it for stray bytes ahead of it. The last frame follows a resume.
TEST_F(Board, InjectedFaultsShapeTheReplies) {
  using Fault = std::function<void(SimulatedBoard&)>;
  const std::tuple<const char*, Fault, unsigned, std::string> cases[] = {
      {"silent", [](auto& b) { b.setSilent(true); }, 3, "4"},
      {"silent after 2", [](auto& b) { b.stopAnsweringAfter(2); }, 5, "1 2 6"},
      {"drop every 3rd", [](auto& b) { b.setDropEvery(3); }, 7, "1 2 4 5 7 8"},
      {"corrupt every 2nd", [](auto& b) { b.setCorruptEvery(2); }, 4, "1 2x 3 4x 5"},
      {"stray every 2nd", [](auto& b) { b.setStrayEvery(2, Bytes(1, 0x55)); }, 4, "1 s2 3 s4 5"},
      {"stray once", [](auto& b) { b.sendStrayBytes(Bytes(2, 0xAA)); }, 2, "s1 2 3"},
  };
  for (const auto& [name, fault, frames, expected] : cases) {
    SCOPED_TRACE(name);
    start();
    fault(*board);
    for (unsigned n = 1; n <= frames + 1; ++n) {
      if (n > frames) {
        EXPECT_NEAR(board->motorSpeeds().right, 0.9976343, 1e-6);  // commands still taken
        board->resumeAnswering();
      }
      board->setStatusBytes(static_cast<U8>(n), 0x41);
      ASSERT_TRUE(client->send(forward(n)) && board->waitForFrames(n, kPatience));
    }
    std::string replies;
    for (unsigned number = 0; number <= frames;) {
      Bytes reply = client->read(1);
      const bool stray = !reply.empty() && reply[0] != 0x02;
      while (!reply.empty() && reply[0] != 0x02)
        reply = client->read(1);
      const Bytes rest = client->read(8);
      ASSERT_EQ(rest.size(), 8u) << "after " << replies;
      reply.insert(reply.end(), rest.begin(), rest.end());
      number = reply[1];
      replies += (replies.empty() ? "" : " ") + std::string(stray ? "s" : "") +
                 std::to_string(number) + (reply[8] == checkByte(reply, 1, 7) ? "" : "x");
    }
    EXPECT_EQ(replies, expected);
  }
}

}  // namespace
