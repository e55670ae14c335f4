// The wheelchair component under faults, end to end: the component process
// in the stand-in host, the simulated board in this process. Whatever goes
// wrong, the board must see the chair brought to rest and the stop command
// last, and the outputs must never claim a motion nobody measured.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <csignal>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "component_rig.h"
#include "wheel_commands.h"

using namespace component_test;

namespace {

// Bounds on how long a stop or a shutdown may take, scaled for the slower
// sanitizer builds.
constexpr auto kOneSecond = std::chrono::milliseconds(1000 * TOLVARINE_TEST_TIME_SCALE);

// vx = 5 m/s, FORWARD: right +5 * 123.29 = +616 and left -5 * 124.42 = -622
// counts, both beyond the byte: full speed on both wheels.
constexpr WheelBytes kFullForward{0x40, 0x41, 255, 255};
// 2068 mm/s at 21 mm/s a cycle, rounded up, and two cycles of slack.
constexpr std::size_t kRampDownFromFullSpeed = 99 + 2;
// Between a command's reply and the controller taking it up: the cycle under
// way in the execution context, one in the control thread, one on the wire.
constexpr std::size_t kCommandLatencyFrames = 3;

std::vector<ReceivedFrame> validFramesFrom(const SimulatedBoard& board, std::size_t first) {
  std::vector<ReceivedFrame> frames = board.framesFrom(first);
  frames.erase(
      std::remove_if(frames.begin(), frames.end(), [](const ReceivedFrame& f) { return !f.valid; }),
      frames.end());
  return frames;
}

std::string state(ComponentRig& rig) {
  const json list = rig.request({{"cmd", "list"}});
  return list.value("ok", false) ? list["components"][0].value("state", "") : "";
}

// The wheel speed bytes of a frame never grow from one frame to the next,
// and the frames end at a standstill (or the stop command).
::testing::AssertionResult rampsDownToRest(const std::vector<ReceivedFrame>& frames) {
  for (std::size_t i = 1; i < frames.size(); ++i) {
    const WheelBytes a = wheelsOf(frames[i - 1]);
    const WheelBytes b = wheelsOf(frames[i]);
    if (b.rightSpeed > a.rightSpeed || b.leftSpeed > a.leftSpeed) {
      return ::testing::AssertionFailure()
             << "frame " << i << " speeds up: " << describe(a) << " -> " << describe(b);
    }
  }
  if (frames.empty() || wheelsOf(frames.back()).rightSpeed != 0 ||
      wheelsOf(frames.back()).leftSpeed != 0) {
    return ::testing::AssertionFailure() << "the frames do not end at rest";
  }
  return ::testing::AssertionSuccess();
}

long msSince(Clock::time_point start) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

double poseX(const json& sample) {
  return sample.at("data").at("position").at("x").get<double>();
}

double poseY(const json& sample) {
  return sample.at("data").at("position").at("y").get<double>();
}

// The last pose published so far.
json lastPose(ComponentRig& rig) {
  const std::vector<json> poses = samplesOf(rig.client().events(), "OdmetoryOut");
  return poses.empty() ? json() : poses.back();
}

// Brings the chair to rest and waits until the board's motors have stopped
// and a pose published after that has arrived.
void restAndSettle(ComponentRig& rig) {
  rig.command(0.0, 0.0, 0.0);
  ASSERT_TRUE(rig.settlesOn(kStandstill));
  ASSERT_TRUE(eventually(
      [&] {
        const auto m = rig.board().motorSpeeds();
        return m.right == 0.0 && m.left == 0.0;
      },
      10s));
  const std::size_t seen = rig.client().eventCount();
  ASSERT_TRUE(rig.client().waitForEvents(
      [&](const std::vector<ControlClient::Event>& e) { return e.size() >= seen + 4; }, 10s));
}

}  // namespace

// Over-range commands, rejected status frames and a board that falls silent,
// one after the other in one run of the component.
TEST(ComponentFaultInjection, DrivingFaultsEndAtRest) {
  ComponentRig rig;
  rig.start({"conf.default.COM_Port: " + rig.devicePath()});
  json reply = rig.activate();
  ASSERT_EQ(reply.value("result", ""), "RTC_OK") << reply.dump() << rig.process().err();
  ASSERT_TRUE(rig.subscribe({"OdmetoryOut", "VelocityOut"}).value("ok", false));

  {
    SCOPED_TRACE("5 m/s held a second past saturation, then 0");
    rig.command(5.0, 0.0, 0.0);
    ASSERT_TRUE(rig.settlesOn(kFullForward, 33));
    const std::size_t atStop = rig.board().frameCount();
    rig.command(0.0, 0.0, 0.0);
    const std::size_t atReply = rig.board().frameCount();
    ASSERT_TRUE(rig.settlesOn(kStandstill));
    const std::vector<ReceivedFrame> frames = validFramesFrom(rig.board(), atStop);
    std::size_t full = 0;
    while (full < frames.size() && wheelsOf(frames[full]) == kFullForward) {
      ++full;
    }
    EXPECT_LE(full, atReply - atStop + kCommandLatencyFrames)
        << "the chair went on at full speed after the stop";
    RecordProperty("full_speed_frames_after_stop", static_cast<int>(full));
    std::vector<ReceivedFrame> down(frames.begin() + static_cast<std::ptrdiff_t>(full),
                                    frames.end());
    const auto rest = std::find_if(down.begin(), down.end(), [](const ReceivedFrame& f) {
      return wheelsOf(f).rightSpeed == 0 && wheelsOf(f).leftSpeed == 0;
    });
    ASSERT_NE(rest, down.end());
    EXPECT_LE(static_cast<std::size_t>(rest - down.begin()), kRampDownFromFullSpeed);
    down.erase(rest + 1, down.end());
    EXPECT_TRUE(rampsDownToRest(down));
  }

  {
    SCOPED_TRACE("every third reply corrupted");
    restAndSettle(rig);
    const double truthBefore = rig.board().truePose().distance;
    const json before = lastPose(rig);
    const std::string consoleBefore = rig.process().err();
    rig.board().setCorruptEvery(3);
    rig.command(0.3, 0.0, 0.0);
    ASSERT_TRUE(rig.settlesOn(kForwardStraight, 80));
    restAndSettle(rig);
    rig.board().setCorruptEvery(0);
    const double truth = rig.board().truePose().distance - truthBefore;
    const json after = lastPose(rig);
    const double odometry = std::hypot(poseX(after) - poseX(before), poseY(after) - poseY(before));
    ASSERT_GT(truth, 0.5);
    EXPECT_NEAR(odometry, truth, 0.02 * truth) << "a straight run, odometry against the truth";
    RecordProperty("corrupt_replies_path_error_permille",
                   static_cast<int>(std::lround(1000 * (odometry - truth) / truth)));
    // Reported, but at most about once a second.
    const std::string console = rig.process().err().substr(consoleBefore.size());
    std::size_t lines = 0;
    for (std::size_t at = 0;
         (at = console.find("rejected for a bad check byte", at)) != std::string::npos; ++at) {
      ++lines;
    }
    EXPECT_GE(lines, 1u);
    EXPECT_LE(lines, 12u) << console;
  }

  {
    SCOPED_TRACE("the board falls silent while driving");
    rig.command(0.3, 0.0, 0.0);
    ASSERT_TRUE(rig.settlesOn(kForwardStraight));
    const std::size_t consoleBefore = rig.process().err().size();
    const std::size_t atSilence = rig.board().frameCount();
    rig.board().setSilent(true);
    const auto silent = Clock::now();
    ASSERT_TRUE(rig.process().waitForErr("the link is lost", kOneSecond * 3 / 2, consoleBefore))
        << "no word of the silent board within five times the limit";
    RecordProperty("silent_board_detected_ms", static_cast<int>(msSince(silent)));
    ASSERT_TRUE(eventually([&] { return state(rig) == "ERROR"; }, 10s));
    EXPECT_TRUE(rig.boardReleased());
    EXPECT_TRUE(rig.lastFrameIsStop());
    // Released as a deactivation does: the ramp down under way, then the
    // stop command, all within about a second.
    std::vector<ReceivedFrame> after = validFramesFrom(rig.board(), atSilence);
    EXPECT_LE(after.size(), 33u);
    for (std::size_t i = 1; i + 1 < after.size(); ++i) {
      EXPECT_LE(wheelsOf(after[i]).rightSpeed, wheelsOf(after[i - 1]).rightSpeed) << i;
      EXPECT_LE(wheelsOf(after[i]).leftSpeed, wheelsOf(after[i - 1]).leftSpeed) << i;
    }
    // Nothing was measured after the silence began, so nothing is published:
    // no sample may arrive later than the one cycle that was under way.
    for (const ControlClient::Event& e : rig.client().events()) {
      if (e.body.value("event", "") == "sample") {
        EXPECT_LT(e.at, silent + kOneSecond / 5) << "a sample was published without a status frame";
      }
    }

    rig.board().setSilent(false);
    reply = rig.reset();
    EXPECT_EQ(reply.value("state", ""), "INACTIVE") << reply.dump();
    reply = rig.activate();
    ASSERT_EQ(reply.value("result", ""), "RTC_OK") << reply.dump() << rig.process().err();
    rig.command(0.3, 0.0, 0.0);
    EXPECT_TRUE(rig.settlesOn(kForwardStraight)) << "no drive after reset and activate";
  }

  rig.process().signal(SIGINT);
  EXPECT_EQ(rig.process().wait(kExitTimeout), 0);
  EXPECT_TRUE(rig.lastFrameIsStop());
}

// Standard error is a pipe nobody reads: the console loses lines, never a
// cycle, a stop or a deactivation.
TEST(ComponentFaultInjection, BlockedConsoleHoldsUpNoStop) {
  int console[2];
  ASSERT_EQ(::pipe2(console, O_CLOEXEC), 0);
  ASSERT_EQ(::fcntl(console[0], F_SETFL, O_NONBLOCK), 0);
  ASSERT_GT(::fcntl(console[0], F_SETPIPE_SZ, 4096), 0);
  // A small queue, so that it overflows within a second or two.
  ::setenv("TOLVARINE_CONSOLE_QUEUE_BYTES", "2048", 1);
  ComponentRig rig;
  rig.start({"conf.default.COM_Port: " + rig.devicePath()}, console[1]);
  ::unsetenv("TOLVARINE_CONSOLE_QUEUE_BYTES");
  ::close(console[1]);
  json reply = rig.activate();
  ASSERT_EQ(reply.value("result", ""), "RTC_OK") << reply.dump();
  rig.command(0.3, 0.0, 0.0);
  ASSERT_TRUE(rig.settlesOn(kForwardStraight));
  ASSERT_TRUE(eventually(
      [&] {
        int queued = 0;
        return ::ioctl(console[0], FIONREAD, &queued) == 0 && queued >= 4096 - 128;
      },
      10s))
      << "the console pipe does not fill";
  // Two seconds of cycles that cannot be printed: the queue overflows.
  ASSERT_TRUE(rig.board().waitForFrames(rig.board().validFrameCount() + 66, 5s));

  const std::size_t atStop = rig.board().frameCount();
  rig.command(0.0, 0.0, 0.0);
  const std::size_t atReply = rig.board().frameCount();
  ASSERT_TRUE(rig.board().waitForFrames(rig.board().validFrameCount() + 8, 5s));
  const std::vector<ReceivedFrame> frames = validFramesFrom(rig.board(), atStop);
  std::size_t unchanged = 0;
  while (unchanged < frames.size() && wheelsOf(frames[unchanged]) == kForwardStraight) {
    ++unchanged;
  }
  EXPECT_LE(unchanged, atReply - atStop + kCommandLatencyFrames) << "the stop waited";
  RecordProperty("blocked_console_frames_before_stop", static_cast<int>(unchanged));

  const auto asked = Clock::now();
  reply = rig.client().request({{"cmd", "deactivate"}}, 5s);
  EXPECT_EQ(reply.value("state", ""), "INACTIVE") << reply.dump();
  EXPECT_LT(Clock::now() - asked, kOneSecond) << "deactivation waited for the console";
  RecordProperty("blocked_console_deactivation_ms", static_cast<int>(msSince(asked)));
  EXPECT_TRUE(rig.boardReleased());
  EXPECT_TRUE(rig.lastFrameIsStop());

  // Once read again, the console says how much it lost.
  std::string text;
  ASSERT_TRUE(eventually(
      [&] {
        char buffer[4096];
        const ssize_t n = ::read(console[0], buffer, sizeof buffer);
        if (n > 0) {
          text.append(buffer, static_cast<std::size_t>(n));
        }
        return text.find("lines lost") != std::string::npos;
      },
      10s))
      << text.substr(0, 2000);
  rig.process().signal(SIGINT);
  EXPECT_EQ(rig.process().wait(kExitTimeout), 0);
  ::close(console[0]);
}

// Fifty clients keep the control socket busy; a signal still stops the chair
// and ends the process at once.
TEST(ComponentFaultInjection, BusyControlSocketCannotDelayTheStop) {
  for (int run = 0; run < 2; ++run) {
    SCOPED_TRACE("run " + std::to_string(run));
    ComponentRig rig;
    rig.start({"conf.default.COM_Port: " + rig.devicePath()});
    ASSERT_EQ(rig.activate().value("result", ""), "RTC_OK") << rig.process().err();
    rig.command(0.3, 0.0, 0.0);
    ASSERT_TRUE(rig.settlesOn(kForwardStraight));

    std::atomic<bool> stop{false};
    std::atomic<int> replies{0};
    std::vector<std::thread> clients;
    for (int i = 0; i < 50; ++i) {
      clients.emplace_back([&] {
        ControlClient client(rig.socketPath());
        client.tryRequest({{"cmd", "subscribe"}, {"ports", {"OdmetoryOut", "VelocityOut"}}}, 10s);
        while (!stop && !client.closed()) {
          const std::optional<json> r = client.tryRequest({{"cmd", "list"}}, 2s);
          if (r && r->value("ok", false)) {
            ++replies;
          }
        }
      });
    }
    const int before = replies;
    EXPECT_TRUE(eventually([&] { return replies > before + 500; }, 10s)) << "the host stalls";

    const auto signalled = Clock::now();
    rig.process().signal(SIGINT);
    const std::optional<int> status = rig.process().wait(kExitTimeout);
    const auto took = Clock::now() - signalled;
    stop = true;
    for (std::thread& t : clients) {
      t.join();
    }
    EXPECT_EQ(status, 0);
    EXPECT_LT(took, kOneSecond) << std::chrono::duration_cast<std::chrono::milliseconds>(took).count()
                        << " ms";
    RecordProperty(
        "busy_clients_shutdown_ms_run" + std::to_string(run),
        static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));
    EXPECT_TRUE(rig.lastFrameIsStop());
  }
}

// Activations that must not drive: a tread that mirrors turns, a port that
// is no serial line, and a handshake cut short by a signal.
TEST(ComponentFaultInjection, RefusedAndAbandonedActivations) {
  ComponentRig rig;
  rig.dir().write("not-a-port", "");
  rig.start({"conf.default.COM_Port: " + rig.dir().file("not-a-port"),
             "conf.default.Tolvarine_Tread_meter: -1"});

  json reply = rig.activate();
  EXPECT_EQ(reply.value("result", ""), "RTC_ERROR") << reply.dump();
  std::string console = rig.process().err();
  EXPECT_NE(console.find("Tolvarine_Tread_meter Parameter[-1] is Invalid"), std::string::npos)
      << console;
  EXPECT_EQ(console.find("connecting..."), std::string::npos) << "it went on to connect";
  EXPECT_EQ(rig.reset().value("state", ""), "INACTIVE");

  rig.set("Tolvarine_Tread_meter", "0.2744");
  reply = rig.activate();
  EXPECT_EQ(reply.value("result", ""), "RTC_ERROR") << reply.dump();
  EXPECT_TRUE(
      rig.process().waitForErr("not-a-port cannot be used as a serial port: not a terminal", 5s))
      << rig.process().err();
  EXPECT_EQ(rig.reset().value("state", ""), "INACTIVE");
  EXPECT_EQ(rig.board().frameCount(), 0u);

  rig.set("COM_Port", rig.devicePath());
  rig.board().setSilent(true);
  std::thread activation([&] {
    ControlClient other(rig.socketPath());
    other.tryRequest({{"cmd", "activate"}}, kExitTimeout);
  });
  ASSERT_TRUE(rig.process().waitForErr("wait for wheel chair...", 10s));
  ASSERT_TRUE(rig.board().waitForFrames(3, 5s));
  const auto signalled = Clock::now();
  rig.process().signal(SIGINT);
  const std::optional<int> status = rig.process().wait(kExitTimeout);
  const auto took = Clock::now() - signalled;
  activation.join();
  EXPECT_EQ(status, 0);
  RecordProperty("handshake_shutdown_ms", static_cast<int>(msSince(signalled)));
  EXPECT_LT(took, kOneSecond) << "the handshake held up the shutdown for "
                      << std::chrono::duration_cast<std::chrono::milliseconds>(took).count()
                      << " ms";
  for (const ReceivedFrame& f : rig.board().frames()) {
    EXPECT_TRUE(isStopCommand(f)) << describe(f);
  }
}
