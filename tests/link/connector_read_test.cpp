// One frame out, one frame in, against a pseudo-terminal the test plays
// itself: what goes on the wire, what a read accepts, and what it discards.

#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include "connector.h"
#include "connector_probe.h"
#include "test_pty.h"
#include "tolvarine_controller/frame.h"

namespace tolvarine_controller {
namespace {

using Probe = ConnectorProbe;
using SteadyClock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

// Reads exactly `count` bytes from the device side, or what came in time.
Bytes readFromDevice(int fd, std::size_t count, std::chrono::milliseconds timeout) {
  Bytes bytes;
  const auto deadline = SteadyClock::now() + timeout;
  std::uint8_t chunk[256];
  while (bytes.size() < count && SteadyClock::now() < deadline) {
    pollfd request{fd, POLLIN, 0};
    if (::poll(&request, 1, 10) <= 0) {
      continue;
    }
    const std::size_t want = std::min(sizeof chunk, count - bytes.size());
    const ssize_t n = ::read(fd, chunk, want);
    if (n <= 0) {
      break;
    }
    bytes.insert(bytes.end(), chunk, chunk + n);
  }
  return bytes;
}

Bytes asBytes(const StatusFrame& frame) {
  return Bytes(frame, frame + kStatusFrameSize);
}

// 02 41 41 80 80 00 00 00, check byte 0x41+0x41+0x80+0x80 = 0x182 -> 0x82.
const Bytes kReply = {0x02, 0x41, 0x41, 0x80, 0x80, 0x00, 0x00, 0x00, 0x82};
// Another valid reply: 0x41+0x41+0x7E+0x82+0x01+0x02+0x03 = 0x188 -> 0x88.
const Bytes kOtherReply = {0x02, 0x41, 0x41, 0x7E, 0x82, 0x01, 0x02, 0x03, 0x88};

class ConnectorWire : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pty.ok());
    ASSERT_TRUE(connector.open(pty.slavePath()));
  }

  TestPty pty;
  Connector connector;
};

TEST_F(ConnectorWire, CommandFramesCarryTheRunningSequenceNumber) {
  SendData stop;
  stop.sequence = 0x55;  // the record's own number is ignored
  for (int i = 0; i < 101; ++i) {
    ASSERT_TRUE(Probe::send(connector, stop));
  }
  EXPECT_EQ(Probe::sendCount(connector), 101u);
  const Bytes wire =
      readFromDevice(pty.master(), 101 * kCommandFrameSize, std::chrono::milliseconds(2000));
  ASSERT_EQ(wire.size(), 101 * kCommandFrameSize);
  auto frame = [&wire](int number) {  // 1-based, as counted on the wire
    const auto begin = wire.begin() + (number - 1) * kCommandFrameSize;
    return Bytes(begin, begin + kCommandFrameSize);
  };
  EXPECT_EQ(frame(1),
            (Bytes{0x02, 0x30, 0x30, 0x00, 0x00, 0xCC, 0x1A, 0x1A, 0x64, 0xFF, 0x0B, 0xCE}));
  EXPECT_EQ(frame(2),
            (Bytes{0x02, 0x30, 0x30, 0x00, 0x00, 0xCC, 0x1A, 0x1A, 0x64, 0xFF, 0x0C, 0xCF}));
  // Sequence 63 makes the payload sum 0x02, sent as 0xFD.
  EXPECT_EQ(frame(53),
            (Bytes{0x02, 0x30, 0x30, 0x00, 0x00, 0xCC, 0x1A, 0x1A, 0x64, 0xFF, 0x3F, 0xFD}));
  EXPECT_EQ(frame(99),
            (Bytes{0x02, 0x30, 0x30, 0x00, 0x00, 0xCC, 0x1A, 0x1A, 0x64, 0xFF, 0x6D, 0x30}));
  EXPECT_EQ(frame(100)[10], 10);
  EXPECT_EQ(frame(101)[10], 11);
  for (int number = 1; number <= 101; ++number) {
    EXPECT_EQ(frame(number)[10], (number % 100) + 10) << "frame " << number;
  }

  // A command's own bytes go out as they are.
  SendData turn;
  turn.leftDirection = 0x41;
  turn.rightDirection = 0x40;
  turn.leftSpeed = 78;
  turn.rightSpeed = 46;
  turn.option5 = 40;
  ASSERT_TRUE(Probe::send(connector, turn));
  const Bytes sent =
      readFromDevice(pty.master(), kCommandFrameSize, std::chrono::milliseconds(500));
  // 0x41+0x40+78+46+0xCC+0x1A+0x1A+0x64+40+12 = 661 = 0x295 -> 0x95.
  EXPECT_EQ(sent, (Bytes{0x02, 0x41, 0x40, 78, 46, 0xCC, 0x1A, 0x1A, 0x64, 40, 12, 0x95}));
}

TEST_F(ConnectorWire, CompleteReplyIsReadAndWhateverFollowsIsDiscarded) {
  Bytes burst = kReply;
  burst.insert(burst.end(), kOtherReply.begin(), kOtherReply.begin() + 5);
  ASSERT_TRUE(pty.write(burst));

  StatusFrame buffer = {};
  ASSERT_TRUE(Probe::receive(connector, buffer));
  EXPECT_EQ(asBytes(buffer), kReply);

  // The five bytes behind the frame were purged; the window passes empty.
  const auto start = SteadyClock::now();
  EXPECT_FALSE(Probe::receive(connector, buffer));
  EXPECT_GE(SteadyClock::now() - start, std::chrono::milliseconds(9));
  EXPECT_EQ(asBytes(buffer), kReply);
}

TEST_F(ConnectorWire, ReplyStillArrivingWhenTheWindowClosesIsCompleted) {
  // Four bytes are there at once, the other five come 11 ms later: after
  // the 10 ms read window, but well within the time the rest may take.
  const Bytes head(kOtherReply.begin(), kOtherReply.begin() + 4);
  const Bytes tail(kOtherReply.begin() + 4, kOtherReply.end());
  const auto start = SteadyClock::now();
  ASSERT_TRUE(pty.write(head));
  std::thread device([this, start, tail] {
    std::this_thread::sleep_until(start + std::chrono::milliseconds(11));
    pty.write(tail);
  });
  StatusFrame buffer = {};
  const bool complete = Probe::receive(connector, buffer);
  const auto took = SteadyClock::now() - start;
  device.join();
  ASSERT_TRUE(complete);
  EXPECT_EQ(asBytes(buffer), kOtherReply);
  EXPECT_GE(took, std::chrono::milliseconds(11));
}

TEST_F(ConnectorWire, ShortReadNeverYieldsAFrameEvenIfOldBytesWouldPass) {
  StatusFrame buffer = {};
  ASSERT_TRUE(pty.write(kReply));
  ASSERT_TRUE(Probe::receive(connector, buffer));

  // Only the first four bytes of the same reply come: laid over the old
  // buffer they would make a valid frame again. They must not count.
  const auto start = SteadyClock::now();
  ASSERT_TRUE(pty.write(Bytes(kReply.begin(), kReply.begin() + 4)));
  EXPECT_FALSE(Probe::receive(connector, buffer));
  const auto took = SteadyClock::now() - start;
  EXPECT_GE(took, std::chrono::milliseconds(10));
  EXPECT_LT(took, std::chrono::milliseconds(500));

  // The half frame was purged, so it does not prefix the next reply.
  ASSERT_TRUE(pty.write(kOtherReply));
  ASSERT_TRUE(Probe::receive(connector, buffer));
  EXPECT_EQ(asBytes(buffer), kOtherReply);
}

TEST(ConnectorHungUp, ReadsAndWritesFailOnceTheDeviceHasHungUp) {
  Connector connector;
  {
    TestPty pty;
    ASSERT_TRUE(pty.ok());
    ASSERT_TRUE(connector.open(pty.slavePath()));
  }  // the far side closes
  StatusFrame buffer = {};
  EXPECT_FALSE(Probe::send(connector, SendData()));
  EXPECT_FALSE(Probe::receive(connector, buffer));
  EXPECT_TRUE(connector.close());
}

}  // namespace
}  // namespace tolvarine_controller
