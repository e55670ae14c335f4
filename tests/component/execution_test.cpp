// The running component against the simulated board: commands on
// "VelocityIn" reach the wheels as the board sees them, and every cycle
// publishes the pose and the measured velocity.
#include <gtest/gtest.h>

#include <cmath>
#include <csignal>
#include <string>
#include <vector>

#include <sys/stat.h>

#include "component_rig.h"
#include "output_checks.h"
#include "wheel_commands.h"

using namespace component_test;

namespace {

std::vector<json> samplesSince(const ControlClient& client, std::size_t first,
                               const std::string& port) {
  std::vector<ControlClient::Event> events = client.events();
  events.erase(events.begin(),
               events.begin() + static_cast<std::ptrdiff_t>(std::min(first, events.size())));
  return samplesOf(events, port);
}

// Waits until `count` samples of `port` arrived after event `first`.
std::vector<json> waitForSamples(const ControlClient& client, std::size_t first,
                                 const std::string& port, std::size_t count) {
  client.waitForEvents(
      [&](const std::vector<ControlClient::Event>& events) {
        std::size_t n = 0;
        for (std::size_t i = first; i < events.size(); ++i) {
          n += events[i].body.value("port", "") == port ? 1 : 0;
        }
        return n >= count;
      },
      20s);
  std::vector<json> samples = samplesSince(client, first, port);
  EXPECT_GE(samples.size(), count) << "too few " << port << " samples";
  return samples;
}

bool fileExists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

double number(const json& sample, const char* a, const char* b, const char* c = nullptr) {
  const json& v = c == nullptr ? sample.at(a).at(b) : sample.at(a).at(b).at(c);
  return v.is_number() ? v.get<double>() : NAN;
}

}  // namespace

TEST(ComponentExecution, BackMountingDrivesPublishesAndRestartsThePose) {
  ComponentRig rig;
  rig.start({"conf.default.COM_Port: " + rig.devicePath(), "conf.default.Foward_Direction: BACK"});
  json reply = rig.activate();
  ASSERT_EQ(reply.value("result", ""), "RTC_OK") << reply.dump() << rig.process().err();
  reply = rig.subscribe({"OdmetoryOut", "VelocityOut"});
  ASSERT_TRUE(reply.value("ok", false)) << reply.dump();

  // v = 0.5, w = 0.2: right 0.39024 and left 0.60976 m/s.
  rig.command(0.5, 0.0, 0.2);
  EXPECT_TRUE(rig.settlesOn(kBackSplit));
  EXPECT_TRUE(rig.process().waitForErr("\nw_in:0.2\tv_in0.5\n", 5s));

  // A sideways component changes nothing: the split comes back exactly.
  rig.command(0.3, 0.0, 0.0);
  EXPECT_TRUE(rig.settlesOn(kBackStraight));
  rig.command(0.5, 0.4, 0.2);
  EXPECT_TRUE(rig.settlesOn(kBackSplit));

  // Reversing: the measured speed stays a non-negative path rate while the
  // pose moves backwards along the heading.
  rig.command(-0.3, 0.0, 0.0);
  EXPECT_TRUE(rig.settlesOn(kBackReverse));
  const std::size_t reversing = rig.client().eventCount();
  const std::vector<json> velocities = waitForSamples(rig.client(), reversing, "VelocityOut", 12);
  ASSERT_GE(velocities.size(), 12u);
  const std::vector<json> poses = samplesSince(rig.client(), reversing, "OdmetoryOut");
  ASSERT_GE(poses.size(), 2u);
  for (std::size_t i = velocities.size() - 6; i < velocities.size(); ++i) {
    const double vx = number(velocities[i], "data", "vx");
    EXPECT_GT(vx, 0.2) << velocities[i].dump();
    EXPECT_LT(vx, 0.4) << velocities[i].dump();
  }
  const json& p0 = poses.front();
  const json& p1 = poses.back();
  const double heading = number(p0, "data", "heading");
  const double along = (number(p1, "data", "position", "x") - number(p0, "data", "position", "x")) *
                           std::cos(heading) +
                       (number(p1, "data", "position", "y") - number(p0, "data", "position", "y")) *
                           std::sin(heading);
  EXPECT_LT(along, -0.02) << "from " << p0.dump() << " to " << p1.dump();

  const std::size_t cycles = expectWellFormedCycles(rig.client().events());
  EXPECT_GT(cycles, 50u);
  EXPECT_GT(expectCycleTrace(rig.process().err()), 50u);
  EXPECT_TRUE(rig.process().waitForErr("\nw_in:0\tv_in-0.3\n", 5s));

  // Deactivation stops the chair and lets go of the device.
  reply = rig.deactivate();
  EXPECT_EQ(reply.value("state", ""), "INACTIVE") << reply.dump();
  EXPECT_TRUE(rig.boardReleased());
  EXPECT_TRUE(rig.lastFrameIsStop());
  const json lastPose = samplesSince(rig.client(), 0, "OdmetoryOut").back();
  EXPECT_GT(std::hypot(number(lastPose, "data", "position", "x"),
                       number(lastPose, "data", "position", "y")),
            0.2)
      << "the chair hardly moved: " << lastPose.dump();

  // A new activation connects again and starts from the origin. The last
  // command (reversing) is forgotten: with no input the chair stays at rest.
  const std::size_t reactivated = rig.client().eventCount();
  const std::size_t framesBefore = rig.board().frameCount();
  reply = rig.activate();
  ASSERT_EQ(reply.value("result", ""), "RTC_OK") << reply.dump() << rig.process().err();
  EXPECT_TRUE(rig.board().clientConnected());
  const std::vector<json> after = waitForSamples(rig.client(), reactivated, "OdmetoryOut", 15);
  ASSERT_FALSE(after.empty());
  for (const json& pose : after) {
    EXPECT_NEAR(number(pose, "data", "position", "x"), 0.0, 1e-9) << pose.dump();
    EXPECT_NEAR(number(pose, "data", "position", "y"), 0.0, 1e-9) << pose.dump();
    EXPECT_NEAR(number(pose, "data", "heading"), 0.0, 1e-9) << pose.dump();
  }
  for (const ReceivedFrame& frame : rig.board().framesFrom(framesBefore)) {
    EXPECT_TRUE(wheelsOf(frame) == kStandstill || isStopCommand(frame)) << describe(frame);
  }

  reply = rig.request({{"cmd", "shutdown"}});
  EXPECT_TRUE(reply.value("ok", false));
  EXPECT_EQ(rig.process().wait(kExitTimeout), 0);
  EXPECT_TRUE(rig.boardReleased());
  EXPECT_TRUE(rig.lastFrameIsStop());
}

TEST(ComponentExecution, ForwardMountingMirrorsTheSplitAndStopsOnInterrupt) {
  ComponentRig rig;
  rig.start(
      {"conf.default.COM_Port: " + rig.devicePath(), "conf.default.Foward_Direction: FORWARD"});
  json reply = rig.activate();
  ASSERT_EQ(reply.value("result", ""), "RTC_OK") << reply.dump() << rig.process().err();
  reply = rig.subscribe({"OdmetoryOut", "VelocityOut"});
  ASSERT_TRUE(reply.value("ok", false)) << reply.dump();

  // v = 0.5, w = 0.2: right 0.60976 and left 0.39024 m/s.
  rig.command(0.5, 0.0, 0.2);
  EXPECT_TRUE(rig.settlesOn(kForwardSplit));

  // v = 0, w = 1: right +0.5488 and left -0.5488 m/s, the whole tread apart,
  // so the chair turns at 2 * 0.5488 / 0.5488 = 2 rad/s on the spot.
  rig.command(0.0, 0.0, 1.0);
  EXPECT_TRUE(rig.settlesOn(kForwardTurnOnTheSpot));
  const std::size_t turning = rig.client().eventCount();
  const std::vector<json> velocities = waitForSamples(rig.client(), turning, "VelocityOut", 12);
  ASSERT_GE(velocities.size(), 12u);
  for (std::size_t i = velocities.size() - 6; i < velocities.size(); ++i) {
    EXPECT_NEAR(number(velocities[i], "data", "va"), 2.0, 0.2) << velocities[i].dump();
    EXPECT_LT(number(velocities[i], "data", "vx"), 0.05) << velocities[i].dump();
  }

  // Interrupted while turning: the host deactivates the component, which
  // stops the chair, and the process ends normally.
  rig.process().signal(SIGINT);
  EXPECT_EQ(rig.process().wait(kExitTimeout), 0) << rig.process().err();
  EXPECT_TRUE(rig.boardReleased());
  EXPECT_TRUE(rig.lastFrameIsStop());
  EXPECT_FALSE(fileExists(rig.socketPath()));
  EXPECT_TRUE(rig.client().waitClosed(5s));

  EXPECT_GT(expectWellFormedCycles(rig.client().events()), 30u);
  EXPECT_GT(expectCycleTrace(rig.process().err()), 30u);
}
