// A device that stops taking frames: the thread neither spins nor floods the
// console, and says once when writing works again.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <sstream>
#include <string>
#include <thread>

#include "board_link.h"
#include "connector.h"
#include "connector_probe.h"
#include "test_pty.h"

namespace tolvarine_controller {
namespace {

using Probe = ConnectorProbe;
using namespace std::chrono_literals;

const std::string kWriteFailed =
    "connector error: serial port write failed, retrying every cycle\n";
const std::string kWriteWorks = "connector: serial port write works again\n";

// Nothing answers these links, so the link is also reported lost once; the
// tests here are about the write failures.
std::string withoutLinkLoss(const std::string& output) {
  std::string kept;
  std::istringstream lines(output);
  for (std::string line; std::getline(lines, line);) {
    if (line.find("the link is lost") == std::string::npos) {
      kept += line + "\n";
    }
  }
  return kept;
}

double threadCpuMs(pthread_t thread) {
  clockid_t clock{};
  if (pthread_getcpuclockid(thread, &clock) != 0) {
    return -1.0;
  }
  timespec used{};
  clock_gettime(clock, &used);
  return used.tv_sec * 1000.0 + used.tv_nsec / 1e6;
}

// Waits until the connector has sent `count` frames (or tried to).
bool waitForSends(Connector& connector, std::uint32_t count, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (Probe::sendCount(connector) < count) {
    if (std::chrono::steady_clock::now() > deadline) {
      return false;
    }
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

using ConnectorDeviceGone = BoardLinkTest;

TEST_F(ConnectorDeviceGone, ThreadWaitsOutEachCycleAndReportsOnce) {
  bringUp();
  ASSERT_TRUE(board.waitForFrames(5, 5s));
  testing::internal::CaptureStderr();
  board.stop();  // like an adapter pulled out: the line hangs up

  // Let the failure set in, then measure over 1.5 s.
  ASSERT_TRUE(waitForSends(connector, Probe::sendCount(connector) + 3, 2s));
  const pthread_t thread = Probe::threadHandle(connector);
  const double cpuBefore = threadCpuMs(thread);
  const std::uint32_t sendsBefore = Probe::sendCount(connector);
  const auto wallBefore = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(1500ms);
  const double cpuMs = threadCpuMs(thread) - cpuBefore;
  const std::uint32_t attempts = Probe::sendCount(connector) - sendsBefore;
  const double wallMs =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - wallBefore)
          .count();

  const auto stopCalled = std::chrono::steady_clock::now();
  connector.stopThread();
  EXPECT_LT(std::chrono::steady_clock::now() - stopCalled, 1s);
  const std::string output = testing::internal::GetCapturedStderr();

  ASSERT_GE(cpuBefore, 0.0);
  // A thread that retried without pause would burn the whole 1.5 s.
  EXPECT_LT(cpuMs, 0.1 * wallMs) << "CPU " << cpuMs << " ms in " << wallMs << " ms";
  // One attempt per 30 ms cycle: about 50.
  EXPECT_GE(attempts, wallMs / 30.0 * 0.5);
  EXPECT_LE(attempts, wallMs / 30.0 + 3);
  EXPECT_EQ(withoutLinkLoss(output), kWriteFailed);
  EXPECT_NE(output.find("the link is lost"), std::string::npos) << output;
  EXPECT_TRUE(connector.close());
}

TEST(ConnectorWriteStall, StallIsReportedOnceAndSoIsItsEnd) {
  TestPty pty;
  ASSERT_TRUE(pty.ok());
  // A handle of our own on the device, to hold its output.
  const int observer = ::open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(observer, 0);
  Connector connector;
  ASSERT_TRUE(connector.open(pty.slavePath()));
  connector.startThread();
  ASSERT_TRUE(waitForSends(connector, 3, 2s));

  testing::internal::CaptureStderr();
  ASSERT_EQ(::tcflow(observer, TCOOFF), 0);  // output suspended: writes time out
  ASSERT_TRUE(waitForSends(connector, Probe::sendCount(connector) + 5, 2s));
  ASSERT_EQ(::tcflow(observer, TCOON), 0);
  ASSERT_TRUE(waitForSends(connector, Probe::sendCount(connector) + 5, 2s));
  connector.stopThread();
  EXPECT_EQ(withoutLinkLoss(testing::internal::GetCapturedStderr()), kWriteFailed + kWriteWorks);
  EXPECT_TRUE(connector.close());
  ::close(observer);
}

}  // namespace
}  // namespace tolvarine_controller
