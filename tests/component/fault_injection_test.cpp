// The component under faults, end to end. Whatever goes wrong, the board
// must see the chair brought to rest and the stop command last, and the
// outputs must never claim a motion nobody measured.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <time.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <functional>
#include <memory>
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

json lastPose(ComponentRig& rig) {
  const std::vector<json> poses = samplesOf(rig.client().events(), "OdmetoryOut");
  if (poses.empty()) {
    return json();
  }
  json pose = poses.back()["data"]["position"];
  pose["heading"] = poses.back()["data"]["heading"];
  return pose;
}

// Stops the chair and waits until the board's motors stand and a pose from
// after that has arrived.
void comeToRest(ComponentRig& rig) {
  rig.command(0.0, 0.0, 0.0);
  ASSERT_TRUE(rig.settlesOn(kStandstill));
  ASSERT_TRUE(eventually([&] { return rig.board().motorSpeeds().right == 0.0; }));
  const std::size_t seen = samplesOf(rig.client().events(), "OdmetoryOut").size();
  ASSERT_TRUE(eventually(
      [&] { return samplesOf(rig.client().events(), "OdmetoryOut").size() > seen + 2; }));
}

std::uint32_t stampMs(const json& sample) {
  return sample["tm"]["sec"].get<std::uint32_t>() * 1000u +
         sample["tm"]["nsec"].get<std::uint32_t>() / 1000000u;
}

}  // namespace

// One component, activated once, driven through one fault after the other;
// each phase starts where the one before left the chair.
class DrivingFaults : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    rig = std::make_unique<ComponentRig>();
    rig->start({"conf.default.COM_Port: " + rig->devicePath()});
    activated = rig->transition("activate") == "RTC_OK" && rig->subscribe();
  }
  static void TearDownTestSuite() { rig.reset(); }
  void SetUp() override { ASSERT_TRUE(activated) << rig->process().err(); }

  // A straight run of `v` with `fault` on: the odometry against the truth,
  // and no measured speed that the chair never had.
  void straightRun(const std::function<void(bool)>& fault, double v, const WheelBytes& wheels,
                   std::size_t frames) {
    comeToRest(*rig);
    const tolvarine_board_sim::ChairPose truthBefore = rig->board().truePose();
    const json before = lastPose(*rig);
    const std::size_t consoleBefore = rig->process().err().size();
    const std::size_t samplesBefore = rig->client().events().size();
    fault(true);
    rig->command(v, 0.0, 0.0);
    ASSERT_TRUE(rig->settlesOn(wheels, frames));
    comeToRest(*rig);
    fault(false);
    const tolvarine_board_sim::ChairPose truthAfter = rig->board().truePose();
    const double truth = truthAfter.distance - truthBefore.distance;
    const json after = lastPose(*rig);
    const double odometry = std::hypot(after["x"].get<double>() - before["x"].get<double>(),
                                       after["y"].get<double>() - before["y"].get<double>());
    ASSERT_GT(truth, 0.4);
    EXPECT_NEAR(odometry, truth, 0.02 * truth);
    EXPECT_NEAR(after["heading"].get<double>() - before["heading"].get<double>(),
                truthAfter.theta - truthBefore.theta, 0.02);
    RecordProperty("path_error_permille",
                   static_cast<int>(std::lround(1000 * (odometry - truth) / truth)));
    const std::vector<ControlClient::Event> events = rig->client().events();
    for (const json& v :
         samplesOf({events.begin() + static_cast<std::ptrdiff_t>(samplesBefore), events.end()},
                   "VelocityOut")) {
      EXPECT_LT(v["data"]["vx"].get<double>(), 0.6) << v.dump();
      EXPECT_LT(std::fabs(v["data"]["va"].get<double>()), 0.2) << v.dump();
    }
    const std::string console = rig->process().err().substr(consoleBefore);
    EXPECT_LE(countOf(console, "rejected for a bad start or check byte"), 10)
        << "more than one report a second";
    EXPECT_FALSE(contains(console, "the link is lost"));
  }

  static inline std::unique_ptr<ComponentRig> rig;
  static inline bool activated = false;
};

TEST_F(DrivingFaults, FiveMetresPerSecondHeldPastSaturationThenStopped) {
  rig->command(5.0, 0.0, 0.0);
  ASSERT_TRUE(rig->settlesOn(kFullForward, 15));
  const std::size_t atStop = rig->board().frameCount();
  rig->command(0.0, 0.0, 0.0);
  const std::size_t atReply = rig->board().frameCount();
  ASSERT_TRUE(rig->settlesOn(kStandstill));
  const std::vector<ReceivedFrame> frames = validFramesFrom(rig->board(), atStop);
  const std::size_t full = leadingFrames(frames, kFullForward);
  EXPECT_LE(full, atReply - atStop + kCommandLatencyFrames) << "full speed after the stop";
  // From 2068 mm/s at 21 mm/s a cycle: at rest within 99 cycles, 2 spare.
  const auto rest = std::find_if(frames.begin() + static_cast<std::ptrdiff_t>(full), frames.end(),
                                 [](const ReceivedFrame& f) { return wheelsOf(f) == kStandstill; });
  EXPECT_LE(rest - frames.begin() - static_cast<std::ptrdiff_t>(full), 101);
  EXPECT_EQ(speedUps(std::vector<ReceivedFrame>(frames.begin(), rest)), 0u);
}

TEST_F(DrivingFaults, EveryThirdReplyCorrupted) {
  straightRun([](bool on) { rig->board().setCorruptEvery(on ? 3 : 0); }, 0.3, kForwardStraight, 50);
}

// Line noise that shifts the next reply, 0x02 among it.
TEST_F(DrivingFaults, NoiseAfterEverySecondReply) {
  straightRun([](bool on) { rig->board().setNoiseAfterEvery(on ? 2 : 0, 5); }, 0.5, kHalfMetre,
              250);
}

TEST_F(DrivingFaults, BoardFallsSilentWhileDriving) {
  rig->command(0.3, 0.0, 0.0);
  ASSERT_TRUE(rig->settlesOn(kForwardStraight));
  const std::size_t consoleBefore = rig->process().err().size();
  const std::size_t atSilence = rig->board().frameCount();
  const std::size_t samplesBefore = rig->client().events().size();
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  const auto silentMs = static_cast<std::uint32_t>(now.tv_sec * 1000 + now.tv_nsec / 1000000);
  rig->board().setSilent(true);
  ASSERT_TRUE(rig->process().waitForErr("the link is lost", kPatience, consoleBefore));
  ASSERT_TRUE(eventually([&] { return rig->state() == "ERROR"; }));
  EXPECT_TRUE(rig->releasedWithStop());
  // The loss is declared 10 frames into the silence; the ramp down under
  // way, then the stop command, within a second.
  const std::vector<ReceivedFrame> after = validFramesFrom(rig->board(), atSilence);
  EXPECT_LE(after.size(), 33u);
  EXPECT_EQ(speedUps(after), 0u);
  // Nothing was measured after the silence began: the cycle under way may
  // publish what came before it, no cycle publishes what never came.
  const std::vector<ControlClient::Event> events = rig->client().events();
  std::size_t stampedAfter = 0;
  for (const json& pose :
       samplesOf({events.begin() + static_cast<std::ptrdiff_t>(samplesBefore), events.end()},
                 "OdmetoryOut")) {
    stampedAfter += static_cast<std::int32_t>(stampMs(pose) - silentMs) > 0;
  }
  EXPECT_LE(stampedAfter, 2u) << "published without a status frame";
  expectWellFormedCycles(events);
}

TEST_F(DrivingFaults, ResetAndActivatedAgainMountedBackwards) {
  rig->board().setSilent(false);
  rig->set("Foward_Direction", "BACK");
  EXPECT_EQ(rig->transition("reset"), "RTC_OK");
  const std::size_t framesBefore = rig->board().frameCount();
  const std::size_t samplesBefore = rig->client().events().size();
  ASSERT_EQ(rig->transition("activate"), "RTC_OK") << rig->process().err();
  // The pose starts again at the origin; the last command is forgotten.
  ASSERT_TRUE(rig->client().waitForEvents(
      [&](const std::vector<ControlClient::Event>& e) { return e.size() > samplesBefore + 10; }));
  const std::vector<ControlClient::Event> events = rig->client().events();
  for (const json& pose :
       samplesOf({events.begin() + static_cast<std::ptrdiff_t>(samplesBefore), events.end()},
                 "OdmetoryOut")) {
    EXPECT_EQ(pose["data"]["position"]["x"], 0.0);
    EXPECT_EQ(pose["data"]["heading"], 0.0);
  }
  for (const ReceivedFrame& f : validFramesFrom(rig->board(), framesBefore)) {
    EXPECT_TRUE(wheelsOf(f) == kStandstill || isStopCommand(f)) << describe(f);
  }
  rig->command(0.5, 0.0, 0.2);
  EXPECT_TRUE(rig->settlesOn(kBackSplit));
}

TEST_F(DrivingFaults, SigintEndsAtRest) {
  rig->process().signal(SIGINT);
  EXPECT_EQ(rig->process().wait(), 0);
  EXPECT_TRUE(rig->releasedWithStop());
}

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
  const std::size_t unchanged =
      leadingFrames(validFramesFrom(rig.board(), atStop), kForwardStraight);
  EXPECT_LE(unchanged, atReply - atStop + kCommandLatencyFrames) << "the stop waited";
  RecordProperty("blocked_console_frames_before_stop", static_cast<int>(unchanged));

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
// a handshake cut short by a signal.
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
  // The handshake would go on for 10 s, a stop command every 30 ms.
  const std::size_t atSignal = rig.board().frameCount();
  rig.process().signal(SIGINT);
  EXPECT_EQ(rig.process().wait(), 0);
  EXPECT_LE(rig.board().frameCount() - atSignal, 33u * TOLVARINE_TEST_TIME_SCALE)
      << "the handshake held up the shutdown";
  activation.join();
  for (const ReceivedFrame& f : rig.board().frames()) {
    EXPECT_TRUE(isStopCommand(f)) << describe(f);
  }
}
