// Opening and closing the port: line settings, exclusivity, failures that
// leave nothing open, the name as given, and open on an open connector.

#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>

#include "connector.h"
#include "connector_probe.h"
#include "test_pty.h"
#include "tolvarine_controller/frame.h"

namespace tolvarine_controller {
namespace {

using Probe = ConnectorProbe;
using SteadyClock = std::chrono::steady_clock;

std::string openFailureLine(int code, const std::string& device) {
  return std::string(u8"ポートオープン失敗 CODE=") + std::to_string(code) + " " + device + ": " +
         std::strerror(code) + "\n";
}

// A temporary folder, removed with what is in it.
class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/tolvarine-link-XXXXXX";
    const char* made = ::mkdtemp(pattern);
    path_ = made != nullptr ? made : "";
  }
  ~TempDir() {
    if (!path_.empty()) {
      const std::string command = "rm -rf '" + path_ + "'";
      if (std::system(command.c_str()) != 0) {
        // Leaving a folder in /tmp behind is not worth failing a test for.
      }
    }
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

TEST(ConnectorOpen, OpensTheDeviceExclusivelyWithTheLineSettings) {
  TestPty pty;
  ASSERT_TRUE(pty.ok());
  // A second handle on the same terminal to look at it from outside; taken
  // before the connector makes the device exclusive.
  const int observer = ::open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(observer, 0);

  const int descriptorsBefore = openDescriptorCount();
  Connector connector;
  const auto start = SteadyClock::now();
  ASSERT_TRUE(connector.open(pty.slavePath()));
  // The port settles for 100 ms before the queues are purged.
  EXPECT_GE(SteadyClock::now() - start, std::chrono::milliseconds(100));
  EXPECT_TRUE(Probe::isOpen(connector));
  EXPECT_EQ(Probe::portName(connector), pty.slavePath());
  EXPECT_EQ(openDescriptorCount(), descriptorsBefore + 1);

  termios settings{};
  ASSERT_EQ(::tcgetattr(observer, &settings), 0);
  EXPECT_EQ(cfgetispeed(&settings), static_cast<speed_t>(B38400));
  EXPECT_EQ(cfgetospeed(&settings), static_cast<speed_t>(B38400));
  EXPECT_EQ(settings.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(settings.c_cflag & PARENB, 0u);
  EXPECT_EQ(settings.c_cflag & CSTOPB, 0u);
  EXPECT_EQ(settings.c_cflag & CRTSCTS, 0u);
  EXPECT_NE(settings.c_cflag & CLOCAL, 0u);
  EXPECT_NE(settings.c_cflag & CREAD, 0u);
  EXPECT_EQ(settings.c_iflag & (IXON | IXOFF | IXANY), 0u);
  // Raw bytes: no line editing, echo, signals or translation.
  EXPECT_EQ(settings.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
  EXPECT_EQ(settings.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP), 0u);
  EXPECT_EQ(settings.c_oflag & OPOST, 0u);

  int exclusive = -1;
  ASSERT_EQ(::ioctl(observer, TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 1);

  EXPECT_TRUE(connector.close());
  EXPECT_FALSE(Probe::isOpen(connector));
  EXPECT_FALSE(Probe::hasPort(connector));
  EXPECT_EQ(openDescriptorCount(), descriptorsBefore);
  // Others may open the device again.
  ASSERT_EQ(::ioctl(observer, TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 0);
  EXPECT_TRUE(connector.close());  // a second close does nothing
  ::close(observer);
}

TEST(ConnectorOpen, DeviceThatCannotBeOpenedIsReportedAndLeavesNothingOpen) {
  const int descriptorsBefore = openDescriptorCount();
  Connector connector;

  const std::string missing = "/nonexistent-tolvarine-dir/ttyUSB0";
  testing::internal::CaptureStderr();
  EXPECT_FALSE(connector.open(missing));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), openFailureLine(ENOENT, missing));
  EXPECT_FALSE(Probe::isOpen(connector));
  EXPECT_FALSE(Probe::hasPort(connector));
  EXPECT_EQ(Probe::portName(connector), "");
  EXPECT_EQ(openDescriptorCount(), descriptorsBefore);

  // A folder cannot be opened for reading and writing, even by root.
  testing::internal::CaptureStderr();
  EXPECT_FALSE(connector.open("/tmp"));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), openFailureLine(EISDIR, "/tmp"));
  EXPECT_EQ(openDescriptorCount(), descriptorsBefore);

  // A later open tries again and may succeed.
  TestPty pty;
  ASSERT_TRUE(pty.ok());
  EXPECT_TRUE(connector.open(pty.slavePath()));
  EXPECT_EQ(Probe::portName(connector), pty.slavePath());
  EXPECT_TRUE(connector.close());
}

TEST(ConnectorOpen, DeviceThatIsNoSerialLineIsClosedWithTheReason) {
  const int descriptorsBefore = openDescriptorCount();
  Connector connector;
  // /dev/null opens, but it is no terminal.
  testing::internal::CaptureStderr();
  EXPECT_FALSE(connector.open("/dev/null"));
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "connector error: /dev/null cannot be used as a serial port: not a terminal\n");
  EXPECT_FALSE(Probe::isOpen(connector));
  EXPECT_FALSE(Probe::hasPort(connector));
  EXPECT_EQ(openDescriptorCount(), descriptorsBefore);
}

TEST(ConnectorOpen, PortNameReachesTheDeviceOpenUnchanged) {
  TestPty pty;
  ASSERT_TRUE(pty.ok());
  TempDir dir;
  ASSERT_FALSE(dir.path().empty());

  // "COM1" relative to the working folder: found only if nothing is put in
  // front of it.
  ASSERT_EQ(::symlink(pty.slavePath().c_str(), (dir.path() + "/COM1").c_str()), 0);
  char previous[4096];
  ASSERT_NE(::getcwd(previous, sizeof previous), nullptr);
  ASSERT_EQ(::chdir(dir.path().c_str()), 0);
  {
    Connector connector;
    const bool opened = connector.open("COM1");
    EXPECT_EQ(::chdir(previous), 0);
    EXPECT_TRUE(opened);
    EXPECT_EQ(Probe::portName(connector), "COM1");
  }

  // Spaces and non-ASCII bytes pass through as they are.
  const std::string odd = dir.path() + u8"/シリアル port 1";
  ASSERT_EQ(::symlink(pty.slavePath().c_str(), odd.c_str()), 0);
  Connector connector;
  EXPECT_TRUE(connector.open(odd));
  EXPECT_EQ(Probe::portName(connector), odd);
}

TEST(ConnectorOpen, OpenOnAnOpenConnectorPurgesWithoutReopening) {
  TestPty pty;
  ASSERT_TRUE(pty.ok());
  Connector connector;
  ASSERT_TRUE(connector.open(pty.slavePath()));
  const int descriptorsOpen = openDescriptorCount();

  // A complete frame waiting in the input queue is read as it is...
  const std::vector<std::uint8_t> frame = {0x02, 0x41, 0x41, 0x80, 0x80, 0x00, 0x00, 0x00, 0x82};
  StatusFrame buffer = {};
  ASSERT_TRUE(pty.write(frame));
  ASSERT_TRUE(Probe::receive(connector, buffer));
  EXPECT_TRUE(decodeStatusFrame(buffer).isValid);

  // ...but not after a second open, which purges it. The second open does
  // not touch the device: a name that does not exist is simply stored.
  ASSERT_TRUE(pty.write(frame));
  const auto start = SteadyClock::now();
  testing::internal::CaptureStderr();
  EXPECT_TRUE(connector.open("/nonexistent-tolvarine-dir/ttyS9"));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_GE(SteadyClock::now() - start, std::chrono::milliseconds(100));
  EXPECT_EQ(Probe::portName(connector), "/nonexistent-tolvarine-dir/ttyS9");
  EXPECT_EQ(openDescriptorCount(), descriptorsOpen);
  EXPECT_FALSE(Probe::receive(connector, buffer));

  // The port is still the one opened first.
  ASSERT_TRUE(pty.write(frame));
  EXPECT_TRUE(Probe::receive(connector, buffer));
}

}  // namespace
}  // namespace tolvarine_controller
