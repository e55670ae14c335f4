// The connector on a pseudo-terminal that the test plays itself: the line it
// opens, the frames of a handshake and what may end one, and a thread whose
// device never answers, stalls and hangs up.

#include <dirent.h>
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "connector.h"
#include "test_support.h"

namespace tolvarine_controller {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using SteadyClock = std::chrono::steady_clock;

class Pty {
 public:
  Pty() {
    master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0) {
      path = ::ptsname(master);
    }
  }
  ~Pty() { hangUp(); }
  void hangUp() {
    ::close(master);  // once hung up, a harmless EBADF
    master = -1;
  }
  bool write(const Bytes& bytes) const {
    return ::write(master, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  }
  int master = -1;
  std::string path;
};

int openDescriptors() {
  int count = 0;
  DIR* dir = ::opendir("/proc/self/fd");
  while (dirent* entry = ::readdir(dir)) {
    count += entry->d_name[0] != '.';
  }
  ::closedir(dir);
  return count - 1;  // the listing's own
}

// 0x41 + 0x41 + 0x80 + 0x80 = 0x182.
const Bytes kReply = {0x02, 0x41, 0x41, 0x80, 0x80, 0x00, 0x00, 0x00, 0x82};

struct Handshake {
  bool connected = false, abandoned = false;  // abandoned by the test, not given up
  std::vector<Bytes> frames;
};

// Runs connect() while a device thread collects the command frames, calls
// `answer` with each one's number and abandons the handshake after
// `abandonAfter` of them.
Handshake handshake(Connector& connector, const Pty& pty, std::size_t abandonAfter,
                    const std::function<void(std::size_t)>& answer) {
  Handshake h;
  std::atomic<bool> abandon{false};
  std::atomic<bool> returned{false};
  std::thread device([&] {
    Bytes pending;
    // Until the handshake has returned and its last frame has been read.
    for (bool last = false; !last;) {
      last = returned;
      pollfd request{pty.master, POLLIN, 0};
      std::uint8_t chunk[256];
      const ssize_t n = ::poll(&request, 1, 10) > 0 ? ::read(pty.master, chunk, sizeof chunk) : 0;
      last = last && n <= 0;
      pending.insert(pending.end(), chunk, chunk + std::max<ssize_t>(n, 0));
      for (; pending.size() >= 12; pending.erase(pending.begin(), pending.begin() + 12)) {
        h.frames.emplace_back(pending.begin(), pending.begin() + 12);
        answer(h.frames.size());
        abandon = abandon || h.frames.size() == abandonAfter;
      }
    }
  });
  h.connected = connector.connect(&abandon);
  h.abandoned = abandon;
  returned = true;
  device.join();
  return h;
}

TEST(ConnectorPort, OpensTheLineExclusivelyAndCloseGivesItBack) {
  Pty pty;
  // Our own handle on the terminal, taken before it becomes exclusive.
  const int observer = ::open(pty.path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(observer, 0);
  const int before = openDescriptors();
  Connector connector;
  ASSERT_TRUE(connector.open(pty.path));
  EXPECT_EQ(openDescriptors(), before + 1);

  termios line{};
  ASSERT_EQ(::tcgetattr(observer, &line), 0);
  EXPECT_EQ(cfgetispeed(&line), static_cast<speed_t>(B38400));
  EXPECT_EQ(cfgetospeed(&line), static_cast<speed_t>(B38400));
  EXPECT_EQ(line.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS | CLOCAL | CREAD),
            static_cast<tcflag_t>(CS8 | CLOCAL | CREAD));
  EXPECT_EQ(line.c_iflag & (IXON | IXOFF | IXANY | ICRNL | INLCR | IGNCR | ISTRIP), 0u);
  EXPECT_EQ(line.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
  EXPECT_EQ(line.c_oflag & OPOST, 0u);
  int exclusive = -1;
  ASSERT_EQ(::ioctl(observer, TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 1);

  // A second driver of the same board is turned away at once, root as well
  // (the exclusive mode binds only others), and leaves the first as it was.
  Connector second;
  testing::internal::CaptureStderr();
  EXPECT_FALSE(second.open(pty.path));
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            ::geteuid() == 0
                ? "connector error: " + pty.path +
                      " cannot be used as a serial port: in use by another process, which holds "
                      "its lock\n"
                : u8"ポートオープン失敗 CODE=" + std::to_string(EBUSY) + " " + pty.path + ": " +
                      std::strerror(EBUSY) + "\n");
  EXPECT_EQ(openDescriptors(), before + 1);
  ASSERT_EQ(::ioctl(observer, TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 1) << "the turned-away opener gave the device free";

  connector.close();
  EXPECT_EQ(openDescriptors(), before);
  ASSERT_EQ(::ioctl(observer, TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 0);
  connector.close();  // a second close is harmless
  ::close(observer);
}

TEST(ConnectorPort, FailuresToOpenSayWhyAndLeaveNothingOpen) {
  const int before = openDescriptors();
  Connector connector;
  const struct {
    std::string name, message;
  } failures[] = {
      {"/nonexistent-tolvarine/ttyUSB0",
       u8"ポートオープン失敗 CODE=" + std::to_string(ENOENT) +
           " /nonexistent-tolvarine/ttyUSB0: " + std::strerror(ENOENT) + "\n"},
      {"/tmp", u8"ポートオープン失敗 CODE=" + std::to_string(EISDIR) +
                   " /tmp: " + std::strerror(EISDIR) + "\n"},
      {"/dev/null", "connector error: /dev/null cannot be used as a serial port: not a terminal\n"},
  };
  for (const auto& f : failures) {
    testing::internal::CaptureStderr();
    EXPECT_FALSE(connector.open(f.name));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), f.message);
    EXPECT_EQ(openDescriptors(), before);
  }
}

TEST(ConnectorPort, HandshakeNumbersItsStopFramesAndWantsAWholeValidReply) {
  Pty pty;
  Connector connector;
  ASSERT_TRUE(connector.open(pty.path));
  // Opening an open connector does not touch the device, but it purges: a
  // reply waiting now must not end the handshake below.
  ASSERT_TRUE(pty.write(kReply));
  const int descriptors = openDescriptors();
  testing::internal::CaptureStderr();
  EXPECT_TRUE(connector.open("/nonexistent-tolvarine/ttyS9"));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(openDescriptors(), descriptors);

  // Every tenth attempt gets a start byte and three zeros: over a zeroed
  // buffer a short read would pass the check (a backlog of them would not).
  const Handshake silent = handshake(connector, pty, 101, [&pty](std::size_t n) {
    if (n % 10 == 5) {
      pty.write({0x02, 0, 0, 0});
    }
  });
  EXPECT_FALSE(silent.connected);
  EXPECT_TRUE(silent.abandoned);  // it would have gone on for longer than these 101 frames
  ASSERT_GE(silent.frames.size(), 101u);
  for (std::size_t i = 0; i < silent.frames.size(); ++i) {
    const std::size_t number = i + 1;
    EXPECT_EQ(Bytes(silent.frames[i].begin(), silent.frames[i].begin() + 10),
              (Bytes{0x02, 0x30, 0x30, 0, 0, 0xCC, 0x1A, 0x1A, 0x64, 0xFF}))
        << "frame " << number;
    EXPECT_EQ(silent.frames[i][10], number % 100 + 10) << "frame " << number;
  }

  // Replies whose last five bytes come 13 ms after their first four, past the
  // 10 ms read window, are completed: one ends the handshake. Every third
  // attempt is answered, so that one answered late cannot run into the next.
  const Handshake answered = handshake(connector, pty, 30, [&pty](std::size_t n) {
    if (n % 3 == 1) {
      pty.write(Bytes(kReply.begin(), kReply.begin() + 4));
      std::this_thread::sleep_for(13ms);
      pty.write(Bytes(kReply.begin() + 4, kReply.end()));
    }
  });
  EXPECT_TRUE(answered.connected);
  ASSERT_FALSE(answered.frames.empty());
  EXPECT_EQ(answered.frames[0][10], (silent.frames.size() + 1) % 100 + 10);

  // Only a frame with its start byte and its check byte proves the board;
  // noise ahead of one does not hide it.
  Bytes badCheck(kReply.begin(), kReply.end() - 1);
  badCheck.push_back(0x83);
  Bytes noStart = kReply;
  noStart.front() = 0x03;
  Bytes noisy = {0x55, 0x02, 0x13};  // a false start, then the reply
  noisy.insert(noisy.end(), kReply.begin(), kReply.end());
  const struct {
    const char* what;
    Bytes reply;
    bool proves;
  } replies[] = {{"bad check byte", badCheck, false},
                 {"no start byte", noStart, false},
                 {"noise ahead", noisy, true}};
  for (const auto& r : replies) {
    SCOPED_TRACE(r.what);
    const Handshake h = handshake(connector, pty, 8, [&](std::size_t) { pty.write(r.reply); });
    EXPECT_EQ(h.connected, r.proves);
    EXPECT_EQ(h.abandoned, !r.proves);
  }
}

// The policies of this process's threads at a real-time priority.
std::vector<int> realTimePriorities() {
  std::vector<int> found;
  DIR* dir = ::opendir("/proc/self/task");
  while (dirent* entry = ::readdir(dir)) {
    const int tid = std::atoi(entry->d_name);
    sched_param param{};
    if (tid > 0 && ::sched_getscheduler(tid) == SCHED_FIFO && ::sched_getparam(tid, &param) == 0) {
      found.push_back(param.sched_priority);
    }
  }
  ::closedir(dir);
  return found;
}

TEST(ConnectorPort, ThreadOnADeviceThatNeverAnswersStallsAndHangsUp) {
  bool realTimeAllowed = false;
  std::thread([&realTimeAllowed] {
    sched_param param{};
    param.sched_priority = ::sched_get_priority_min(SCHED_FIFO);
    realTimeAllowed = ::pthread_setschedparam(::pthread_self(), SCHED_FIFO, &param) == 0;
  }).join();

  Pty pty;
  const int observer = ::open(pty.path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(observer, 0);
  Connector connector;
  ASSERT_TRUE(connector.open(pty.path));
  testing::internal::CaptureStderr();
  connector.startThread();
  const auto framesGoOut = [&connector](std::uint32_t count) {
    const std::uint32_t target = connector.nextFrame() + count;
    return test_support::eventually([&] { return connector.nextFrame() >= target; });
  };
  ASSERT_TRUE(framesGoOut(1));
  if (realTimeAllowed) {
    // A quarter up the real-time range, before the first frame.
    const int low = ::sched_get_priority_min(SCHED_FIFO);
    EXPECT_EQ(realTimePriorities(),
              std::vector<int>{low + (::sched_get_priority_max(SCHED_FIFO) - low) / 4});
  }

  ASSERT_TRUE(test_support::eventually([&connector] { return connector.isLinkLost(); }));
  ASSERT_EQ(::tcflow(observer, TCOOFF), 0);  // writes time out
  ASSERT_TRUE(framesGoOut(5));
  ASSERT_EQ(::tcflow(observer, TCOON), 0);
  ASSERT_TRUE(framesGoOut(5));
  pty.hangUp();  // writes fail at once
  ASSERT_TRUE(framesGoOut(3));

  // Retried once a cycle, not in a busy loop.
  const std::uint32_t frame0 = connector.nextFrame();
  const auto wall0 = SteadyClock::now();
  std::this_thread::sleep_for(600ms);
  const double wallMs =
      std::chrono::duration<double, std::milli>(SteadyClock::now() - wall0).count();
  EXPECT_LE(connector.nextFrame() - frame0, 2 * wallMs / 30 + 5);
  EXPECT_EQ(connector.getLinkLossCount(), 1u);
  connector.stopThread();

  // The loss said once, with the port; each outage and each recovery once.
  const std::string failed = "connector error: serial port write failed, retrying every cycle\n";
  EXPECT_THAT(testing::internal::GetCapturedStderr(),
              testing::MatchesRegex(
                  std::string(realTimeAllowed ? ""
                                              : "connector warning: communication thread keeps "
                                                "its normal priority \\(Operation not "
                                                "permitted\\)\n") +
                  "connector error: no valid status frame from " + pty.path +
                  " for ([3-9][0-9]{2}|[0-9]{4,}) ms, the link is lost\n" + failed +
                  "connector: serial port write works again\n" + failed));
  connector.close();
  ::close(observer);
}

}  // namespace
}  // namespace tolvarine_controller
