// The component under faults, end to end: a console nobody reads, and
// activations that must not drive. Whatever goes wrong, the board must see
// the chair at rest and the stop command last.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <csignal>
#include <string>
#include <thread>
#include <vector>

#include "component_rig.h"
#include "wheel_commands.h"

using namespace component_test;

namespace {

// Bounds on a stop or a shutdown, scaled for the slower sanitizer builds.
constexpr auto kOneSecond = std::chrono::milliseconds(1000 * TOLVARINE_TEST_TIME_SCALE);
// From a command's reply to the controller taking it up: the cycle under
// way in the execution context, then the frame already planned.
constexpr std::size_t kCommandLatencyFrames = 3;

}  // namespace

// Standard error is a pipe nobody reads: the console loses lines, never a
// cycle, a stop or a deactivation.
TEST(ComponentFaultInjection, BlockedConsoleHoldsUpNoStop) {
  int console[2];
  ASSERT_EQ(::pipe2(console, O_CLOEXEC), 0);
  ASSERT_EQ(::fcntl(console[0], F_SETFL, O_NONBLOCK), 0);
  ASSERT_GT(::fcntl(console[0], F_SETPIPE_SZ, 4096), 0);
  ::setenv("TOLVARINE_CONSOLE_QUEUE_BYTES", "2048", 1);  // overflows within a second
  ComponentRig rig;
  rig.start({"conf.default.COM_Port: " + rig.devicePath()}, console[1]);
  ::unsetenv("TOLVARINE_CONSOLE_QUEUE_BYTES");
  ::close(console[1]);
  ASSERT_EQ(rig.transition("activate"), "RTC_OK");
  rig.command(0.3, 0.0, 0.0);
  ASSERT_TRUE(rig.settlesOn(kForwardStraight));
  ASSERT_TRUE(eventually(
      [&] {
        int queued = 0;
        return ::ioctl(console[0], FIONREAD, &queued) == 0 && queued >= 4096 - 128;
      },
      10s));
  ASSERT_TRUE(rig.board().waitForFrames(rig.board().validFrameCount() + 66, 5s));

  const std::size_t atStop = rig.board().frameCount();
  rig.command(0.0, 0.0, 0.0);
  const std::size_t atReply = rig.board().frameCount();
  ASSERT_TRUE(rig.board().waitForFrames(rig.board().validFrameCount() + 8, 5s));
  EXPECT_LE(leadingFrames(validFramesFrom(rig.board(), atStop), kForwardStraight),
            atReply - atStop + kCommandLatencyFrames)
      << "the stop waited";

  const auto asked = Clock::now();
  const std::optional<json> reply = rig.client().tryRequest({{"cmd", "deactivate"}}, 5s);
  ASSERT_TRUE(reply.has_value()) << "deactivation waited for the console";
  EXPECT_EQ(reply->value("state", ""), "INACTIVE");
  EXPECT_LT(Clock::now() - asked, kOneSecond);
  EXPECT_TRUE(rig.releasedWithStop());

  // Read again, the console says how much it lost.
  std::string text;
  EXPECT_TRUE(eventually(
      [&] {
        char buffer[4096];
        const ssize_t n = ::read(console[0], buffer, sizeof buffer);
        text.append(buffer, n > 0 ? static_cast<std::size_t>(n) : 0);
        return text.find("lines lost while standard error was not read") != std::string::npos;
      },
      10s));
  rig.process().signal(SIGINT);
  EXPECT_EQ(rig.process().wait(), 0);
  ::close(console[0]);
}

// Activations that must not drive: a device that is not there, settings
// nobody means (a tread the middleware could not read, one that mirrors
// turns, one in millimetres, a negative time-out, a slow execution context),
// a port that is no serial line, a board whose every reply fails its check,
// a handshake cut short by SIGTERM.
TEST(ComponentFaultInjection, RefusedAndAbandonedActivations) {
  ComponentRig rig;
  rig.dir().write("not-a-port", "");
  rig.start({"conf.default.COM_Port: " + rig.dir().file("no-such-tty"),
             "conf.default.Tolvarine_Tread_meter: abc"});
  const std::vector<std::string> filesBefore = openFiles(rig.process().pid());
  struct Refusal {
    std::vector<std::pair<std::string, std::string>> settings;
    std::string message;
  };
  const std::string tread = "Your Setting Tolvarine_Tread_meter Parameter[";
  const std::vector<Refusal> refusals = {
      {{}, tread + "abc] is Invalid: not a number of metres; not connecting"},
      {{{"Tolvarine_Tread_meter", "0.5488"}}, "connector error: serial port can not open"},
      {{{"Tolvarine_Tread_meter", "-1"}}, tread + "-1] is Invalid"},
      {{{"Tolvarine_Tread_meter", "0"}}, tread + "0] is Invalid"},
      {{{"Tolvarine_Tread_meter", "274.4"}},
       tread + "274.4] is Invalid: a tread of 274.4 m is wider than any wheelchair"},
      {{{"Tolvarine_Tread_meter", "0.5488"}, {"Command_Timeout_sec", "-1"}},
       "Your Setting Command_Timeout_sec Parameter[-1] is Invalid"},
      {{{"Command_Timeout_sec", "0"}, {"COM_Port", rig.dir().file("not-a-port")}},
       "not-a-port cannot be used as a serial port: not a terminal"},
  };
  for (const Refusal& r : refusals) {
    SCOPED_TRACE(r.message);
    for (const auto& [key, value] : r.settings) {
      ASSERT_TRUE(rig.set(key, value).value("ok", false));
    }
    const std::size_t since = rig.process().err().size();
    EXPECT_EQ(rig.transition("activate"), "RTC_ERROR");
    EXPECT_TRUE(rig.process().waitForErr(r.message, 5s, since))
        << rig.process().err().substr(since);
    EXPECT_EQ(rig.process().err().find("\t  OK", since), std::string::npos);
    EXPECT_EQ(openFiles(rig.process().pid()), filesBefore) << "something was left open";
    EXPECT_EQ(rig.transition("reset"), "RTC_OK");
  }
  EXPECT_EQ(rig.board().frameCount(), 0u);

  {
    SCOPED_TRACE("every reply fails its check byte");
    rig.set("COM_Port", rig.devicePath());
    rig.board().setCorruptEvery(1);
    const std::size_t since = rig.process().err().size();
    EXPECT_EQ(rig.transition("activate"), "RTC_ERROR");
    EXPECT_TRUE(rig.process().waitForErr("wheel chair error: connection failture", 1s, since));
    EXPECT_TRUE(rig.releasedWithStop());
    EXPECT_GT(rig.board().replyCount(), 100u) << "the board was not asked long enough";
    EXPECT_EQ(rig.transition("reset"), "RTC_OK");
    rig.board().setCorruptEvery(0);
  }

  {
    SCOPED_TRACE("an execution context at 1 Hz");
    ComponentRig slow;
    slow.start({"conf.default.COM_Port: " + slow.devicePath(), "exec_cxt.periodic.rate: 1"});
    EXPECT_EQ(slow.transition("activate"), "RTC_ERROR");
    EXPECT_TRUE(slow.process().waitForErr(
        "the execution context runs at 1 Hz; below 10 Hz a stop would wait too long", 5s));
    EXPECT_EQ(slow.board().frameCount(), 0u);
  }

  rig.set("COM_Port", rig.devicePath());
  rig.board().setSilent(true);
  std::thread activation([&] {
    ControlClient other(rig.socketPath());
    other.tryRequest({{"cmd", "activate"}}, kPatience);
  });
  ASSERT_TRUE(rig.process().waitForErr("wait for wheel chair...", 10s));
  ASSERT_TRUE(rig.board().waitForFrames(3, 5s));
  // The handshake would go on for 10 s, a stop command every 30 ms. SIGTERM
  // ends it as SIGINT does.
  const std::size_t atSignal = rig.board().frameCount();
  rig.process().signal(SIGTERM);
  EXPECT_EQ(rig.process().wait(), 0);
  EXPECT_LE(rig.board().frameCount() - atSignal, 33u * TOLVARINE_TEST_TIME_SCALE)
      << "the handshake held up the shutdown";
  activation.join();
  for (const ReceivedFrame& f : rig.board().frames()) {
    EXPECT_TRUE(isStopCommand(f)) << describe(f);
  }
}
