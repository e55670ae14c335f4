// Faults a step beyond the plain ones, end to end against the stand-in host
// and the simulated board: a link that drops only briefly, a commander that
// writes too fast or dies, and a second driver on the same board. Each must
// leave the chair at rest, or under the one commander's control, and nothing
// may move again until somebody commands it.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "component_rig.h"
#include "wheel_commands.h"

using namespace component_test;

namespace {

constexpr auto kScale = TOLVARINE_TEST_TIME_SCALE;

}  // namespace

// The board falls silent just past the loss limit and answers again at
// once, ten times for each length: every loss ends the activation, the chair
// never speeds up again on the command it held, and after reset and
// activation it stays at rest until a new command comes.
TEST(ComponentRunaway, EveryBriefLinkLossEndsTheActivation) {
  ComponentRig rig;
  rig.start({"conf.default.COM_Port: " + rig.devicePath()});
  for (const int silenceMs : {320, 350, 400}) {
    for (int trial = 0; trial < 10; ++trial) {
      SCOPED_TRACE(std::to_string(silenceMs) + " ms, trial " + std::to_string(trial));
      ASSERT_EQ(rig.transition("activate"), "RTC_OK") << rig.process().err();
      ASSERT_TRUE(holdsAtRest(rig.board(), 5));
      rig.command(0.5, 0.0, 0.0);
      ASSERT_TRUE(rig.settlesOn(kHalfMetre, 2));
      const std::size_t console = rig.process().err().size();
      const std::size_t atSilence = rig.board().frameCount();
      rig.board().setSilent(true);
      std::this_thread::sleep_for(std::chrono::milliseconds(silenceMs));
      rig.board().setSilent(false);
      ASSERT_TRUE(rig.process().waitForErr("the link is lost", 5s * kScale, console));
      ASSERT_TRUE(eventually([&] { return rig.state() == "ERROR"; }, 10s));
      ASSERT_TRUE(rig.releasedWithStop());
      const std::vector<ReceivedFrame> after = rig.board().framesFrom(atSilence);
      // The loss is declared 10 cycles into the silence; the frame under way
      // and the one planned may still carry the command, then it ramps down.
      EXPECT_LE(leadingFrames(after, kHalfMetre), 10u + 3u);
      EXPECT_EQ(speedUps(after), 0u) << "the chair drove again by itself";
      // A command written while in the error state is stale by the time the
      // component is activated again.
      rig.command(0.5, 0.0, 0.0);
      ASSERT_EQ(rig.transition("reset"), "RTC_OK");
    }
  }
  ASSERT_EQ(rig.transition("activate"), "RTC_OK");
  EXPECT_TRUE(holdsAtRest(rig.board(), 10));
  rig.command(0.5, 0.0, 0.0);
  EXPECT_TRUE(rig.settlesOn(kHalfMetre, 2)) << "a new command drives again";
}

// A peer writing at 1 kHz, one that stops writing (its process killed), with
// and without the command time-out, and a second process driving the same
// board.
TEST(ComponentRunaway, FastDeadAndSecondCommanders) {
  ComponentRig rig;
  rig.start({"conf.default.COM_Port: " + rig.devicePath()});
  ASSERT_EQ(rig.transition("activate"), "RTC_OK") << rig.process().err();

  {
    SCOPED_TRACE("a stop written last into a 1 kHz stream");
    const auto start = Clock::now();
    for (auto next = start; next - start < 1500ms; next += 1ms) {
      rig.command(0.5, 0.0, 0.0);
      std::this_thread::sleep_until(next);
    }
    ASSERT_TRUE(rig.settlesOn(kHalfMetre, 0));
    rig.command(0.0, 0.0, 0.0);
    const std::size_t atStop = rig.board().frameCount();
    ASSERT_TRUE(rig.settlesOn(kStandstill));
    // The cycle under way takes the stop; the frame already planned may
    // still carry the old command; the next one slows down.
    EXPECT_LE(leadingFrames(rig.board().framesFrom(atStop), kHalfMetre), 2u);
  }

  // The commander writes ten times a second for a while, then dies.
  const auto commandThenDie = [&rig](std::chrono::milliseconds alive) {
    ControlClient commander(rig.socketPath());
    const auto until = Clock::now() + alive;
    while (Clock::now() < until) {
      commander.request({{"cmd", "write"},
                         {"port", "VelocityIn"},
                         {"sample", {{"data", {{"vx", 0.5}, {"vy", 0.0}, {"va", 0.0}}}}}});
      std::this_thread::sleep_for(100ms);
    }
  };
  for (const char* timeout : {"0.5", "0"}) {
    SCOPED_TRACE(std::string("time-out ") + timeout);
    const std::size_t console = rig.process().err().size();
    if (std::string(timeout) == "0") {
      // Changed while active, it applies at once.
      ASSERT_TRUE(rig.set("Command_Timeout_sec", timeout).value("ok", false));
      ASSERT_TRUE(rig.process().waitForErr("command time-out: 0 s, off", 5s, console));
    } else {
      ASSERT_EQ(rig.transition("deactivate"), "RTC_OK");
      ASSERT_TRUE(rig.set("Command_Timeout_sec", timeout).value("ok", false));
      ASSERT_EQ(rig.transition("activate"), "RTC_OK");
    }
    commandThenDie(2000ms);
    const std::size_t atDeath = rig.board().frameCount();
    const double distanceAtDeath = rig.board().truePose().distance;
    EXPECT_EQ(rig.process().err().find("no command for", console), std::string::npos)
        << "timed out while commanded";
    if (std::string(timeout) == "0") {
      // Off: the last command stands, as peers that write once rely on.
      ASSERT_TRUE(rig.board().waitForFrames(atDeath + 60, 10s));
      EXPECT_EQ(leadingFrames(rig.board().framesFrom(atDeath), kHalfMetre), 60u);
      continue;
    }
    ASSERT_TRUE(rig.settlesOn(kStandstill));
    EXPECT_TRUE(rig.process().waitForErr("AutoController: no command for 0.5 s", 1s, console));
    // 0.5 s at 0.5 m/s and 0.18 m of ramp (0.5^2 / (2 * 0.7)) at most; the
    // frames count the time, the truth the distance.
    EXPECT_LE(leadingFrames(rig.board().framesFrom(atDeath), kHalfMetre), 17u + 3u);
    const double coasted = rig.board().truePose().distance - distanceAtDeath;
    EXPECT_LT(coasted, 0.25 + 0.18 + 0.1);
    EXPECT_TRUE(holdsAtRest(rig.board(), 10));
    const std::size_t beforeCommand = rig.board().frameCount();
    rig.command(0.5, 0.0, 0.0);
    EXPECT_TRUE(eventually(
        [&] {
          const std::vector<ReceivedFrame> frames = rig.board().framesFrom(beforeCommand);
          return std::any_of(frames.begin(), frames.end(),
                             [](const ReceivedFrame& f) { return wheelsOf(f) != kStandstill; });
        },
        10s))
        << "a new command drives again";
    rig.command(0.0, 0.0, 0.0);
  }

  {
    SCOPED_TRACE("a second component on the same device");
    rig.command(0.5, 0.0, 0.0);
    TempDir dir;
    dir.write("rtc.conf",
              "exec_cxt.periodic.rate: 100\n"
              "Category.TolvarineContorollerModule.conf.default.COM_Port: " +
                  rig.devicePath() + "\n");
    TestProcess second({TOLVARINE_COMPONENT_EXE, "-f", "rtc.conf"}, dir.path(), "second");
    ASSERT_TRUE(waitForSocket(dir.file(std::string(kInstance) + ".sock"))) << second.err();
    ControlClient client(dir.file(std::string(kInstance) + ".sock"));
    const std::size_t from = rig.board().frameCount();
    EXPECT_EQ(client.request({{"cmd", "activate"}}).value("result", ""), "RTC_ERROR");
    EXPECT_TRUE(second.waitForErr("in use by another process", 5s)) << second.err();
    ASSERT_TRUE(rig.board().waitForFrames(rig.board().frameCount() + 10, 10s));
    // One driver: its frames numbered one after the other, nothing between.
    const std::vector<ReceivedFrame> frames = rig.board().framesFrom(from);
    for (std::size_t i = 1; i < frames.size(); ++i) {
      EXPECT_EQ((frames[i].bytes[10] - 10 + 100 - (frames[i - 1].bytes[10] - 10)) % 100, 1)
          << "frame " << i << " is not the next of the first driver's";
    }
    EXPECT_EQ(rig.state(), "ACTIVE");
    EXPECT_TRUE(rig.settlesOn(kHalfMetre, 2)) << "the first driver lost its board";
  }

  rig.command(0.0, 0.0, 0.0);
  ASSERT_EQ(rig.transition("deactivate"), "RTC_OK");
  EXPECT_TRUE(rig.releasedWithStop());
}
