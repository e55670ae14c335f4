// The component built against the real OpenRTM-aist, run as its users run
// it: registered in a naming service, configured by rtc.conf and its own
// file, activated by preactivation, connected to a peer (the driver
// component) by preconnect, stopped by SIGINT. The simulated board in this
// process gives the ground truth.

#include <signal.h>

#include <algorithm>
#include <cmath>
#include <iterator>
#include <thread>

#include "component_rig.h"
#include "openrtm_session.h"
#include "wheel_commands.h"

namespace component_test {
namespace {

using tolvarine_tools::OpenRtmSession;

constexpr char kName[] = "TolvarineContorollerModule0.rtc";
constexpr double kPi = 3.14159265358979323846;

// v = 0.3, w = 0.5 with the tread 0.2744 of the component's file:
// A = 0.3 + 0.1372 = 0.4372, B = 0.1628. FORWARD:
//   right +0.4372 * 123.2917 = +53.903 -> 53
//   left  -0.1628 * 124.4167 = -20.255 -> -21
// (the default tread 0.5488 would give right 70, left -4).
constexpr Wheels kForwardLeftTurn{53, -21};

class OpenRtmTest : public ::testing::Test {
 protected:
  // The naming service, then the component: parameters in rtc.conf (the
  // port, the rate) and in its own file (the tread, the direction, how long
  // OpenRTM-aist waits for the activation), activated at start-up. With
  // `driver`, the driver too, its ports connected to the wheelchair's.
  void start(const std::string& moreRtcConf, bool driver) {
    std::string error;
    ASSERT_TRUE(session.startNamingService(&error)) << error;
    rig.dir().write("TolvarineContorollerModule.conf",
                    "conf.default.Foward_Direction: FORWARD\n"
                    "conf.default.Tolvarine_Tread_meter: 0.2744\n"
                    "exec_cxt.activation_timeout: 3.0\n");
    const std::string rtc =
        "exec_cxt.periodic.rate: 30\n"
        "Category.TolvarineContorollerModule.config_file: " +
        rig.dir().file("TolvarineContorollerModule.conf") +
        "\n"
        "Category.TolvarineContorollerModule.conf.default.COM_Port: " +
        rig.devicePath() + "\nmanager.components.preactivation: TolvarineContorollerModule0\n" +
        moreRtcConf;
    ASSERT_TRUE(session.startComponent(rtc, kPatience, &error)) << error << "\n"
                                                                << log("component.log");
    if (driver) {
      ASSERT_TRUE(session.startDriver(true, kPatience, &error)) << error << log("driver.log");
      client.reset(new ControlClient(session.driverSocket()));
    }
  }

  std::string log(const char* name) const { return readFile(session.file(name)); }

  // The wheelchair as the driver sees it through the middleware, once it is
  // connected and in `state`.
  json peerIn(const std::string& state) {
    json peer;
    eventually(
        [&] {
          const json list = client->request({{"cmd", "list"}});
          const json components = list.value("components", json::array());
          peer = components.empty() ? json::object() : components[0];
          return peer.value("state", "") == state;
        },
        kPatience);
    EXPECT_EQ(peer.value("state", ""), state) << peer.dump();
    return peer;
  }

  ::testing::AssertionResult shutsDownOnSigint() {
    session.component().signal(SIGINT);
    if (!session.component().waitFor(kPatience)) {
      return ::testing::AssertionFailure()
             << "still running " << kPatience.count() << " ms after SIGINT";
    }
    if (!session.component().exitedCleanly()) {
      const std::string console = log("component.log");
      return ::testing::AssertionFailure()
             << session.component().describeEnd() << "; its console ends:\n"
             << console.substr(console.size() > 6000 ? console.size() - 6000 : 0);
    }
    std::string error;
    if (!session.waitForName(kName, false, kPatience, &error)) {
      return ::testing::AssertionFailure() << error;
    }
    return ::testing::AssertionSuccess();
  }

  ComponentRig rig;
  OpenRtmSession session{{TOLVARINE_OPENRTM_COMPONENT_EXE, TOLVARINE_OPENRTM_DRIVER_EXE},
                         rig.dir().path()};
  std::unique_ptr<ControlClient> client;
};

TEST_F(OpenRtmTest, DrivesTheChairThroughTheMiddlewareEndsTheActivationOnALossAndStopsOnSigint) {
  ASSERT_NO_FATAL_FAILURE(start("", true));  // bound in the naming service once it returns

  // Activated at start-up within the time OpenRTM-aist was told to wait.
  const json peer = peerIn("ACTIVE");
  EXPECT_EQ(peer.value("instance", ""), kInstance);
  EXPECT_NEAR(peer.value("rate", 0.0), 30.0, 1e-3);
  EXPECT_TRUE(eventually(
      [&] { return contains(log("component.rtc.log"), "TolvarineContorollerModule0 activated"); },
      kPatience));
  EXPECT_FALSE(contains(log("component.rtc.log"), "activation filed"));

  // The types peers see on the ports.
  const json expectedPorts = {
      {{"direction", "in"}, {"name", "VelocityIn"}, {"type", "IDL:ZEQ/TimedVelocity2D:1.0"}},
      {{"direction", "out"}, {"name", "VelocityOut"}, {"type", "IDL:ZEQ/TimedVelocity2D:1.0"}},
      {{"direction", "out"}, {"name", "OdmetoryOut"}, {"type", "IDL:ZEQ/TimedPose2D:1.0"}}};
  EXPECT_EQ(peer.value("ports", json::array()), expectedPorts);

  ASSERT_TRUE(client->request({{"cmd", "subscribe"}, {"ports", {"OdmetoryOut", "VelocityOut"}}})
                  .value("ok", false));

  // A peer writing OpenRTM-aist's own RTC::TimedVelocity2D is connected as
  // well (the middleware compares no types), but its bytes cannot be read as
  // ZEQ::TimedVelocity2D: the chair stays at rest. 1.2 reports the write as
  // failed (and drops the connection); 2.0 takes it without a word.
  const json wrong = client->request({{"cmd", "write"},
                                      {"port", "VelocityIn"},
                                      {"via", "RtcVelocityCommand"},
                                      {"sample", {{"data", {{"vx", 0.3}, {"vy", 0}, {"va", 0}}}}}});
  EXPECT_EQ(wrong.value("written", false), TOLVARINE_OPENRTM_MAJOR >= 2) << wrong.dump();
  EXPECT_TRUE(rig.settlesOn(kStandstill, 15));

  const auto driveStart = Clock::now();
  const std::size_t before = client->events().size();
  auto command = [&](double vx, double va) {
    const json reply =
        client->request({{"cmd", "write"},
                         {"port", "VelocityIn"},
                         {"sample", {{"data", {{"vx", vx}, {"vy", 0}, {"va", va}}}}}});
    EXPECT_EQ(reply.value("written", false), true) << reply.dump();
  };
  command(0.3, 0.0);
  EXPECT_TRUE(rig.settlesOn(kForwardStraight));
  command(0.3, 0.5);
  EXPECT_TRUE(rig.settlesOn(kForwardLeftTurn));
  command(0.0, 0.0);
  EXPECT_TRUE(rig.settlesOn(kStandstill));

  // At rest, the last pose published is where the board has the chair.
  ASSERT_TRUE(eventually(
      [&] {
        const auto motors = rig.board().state().motors;
        return motors.right == 0.0 && motors.left == 0.0;
      },
      kPatience));
  const std::size_t atRest = client->events().size();
  ASSERT_TRUE(client->waitForEvents(
      [&](const std::vector<ControlClient::Event>& e) { return e.size() >= atRest + 6; },
      kPatience));
  const double driveSeconds = std::chrono::duration<double>(Clock::now() - driveStart).count();
  const std::vector<ControlClient::Event> events = client->events();
  std::vector<ControlClient::Event> own;
  std::copy_if(
      events.begin() + static_cast<std::ptrdiff_t>(before), events.end(), std::back_inserter(own),
      [](const ControlClient::Event& e) { return e.body.value("via", "") != "RtcVelocity"; });
  const std::size_t cycles = expectWellFormedCycles(own);
  // 30 Hz, with room for a slow machine.
  EXPECT_GE(static_cast<double>(cycles), driveSeconds * 30.0 / 5.0) << driveSeconds << " s";

  const std::vector<json> poses = samplesOf(own, "OdmetoryOut");
  ASSERT_FALSE(poses.empty());
  const json& last = poses.back().at("data");
  const auto truth = rig.board().state().pose;
  EXPECT_GT(truth.distance, 0.2);
  EXPECT_NEAR(last.at("position").at("x").get<double>(), truth.x, 0.05);
  EXPECT_NEAR(last.at("position").at("y").get<double>(), truth.y, 0.05);
  EXPECT_NEAR(std::remainder(last.at("heading").get<double>() - truth.theta, 2.0 * kPi), 0.0, 0.05);

  // A silence just past the loss limit ends the activation although the
  // board answers again at once: onAborting releases the chair, and after
  // reset and activation nothing moves until a new command.
  command(0.3, 0.0);
  ASSERT_TRUE(rig.settlesOn(kForwardStraight)) << log("component.log");
  rig.board().setSilent(true);
  std::this_thread::sleep_for(320ms);
  rig.board().setSilent(false);
  peerIn("ERROR");
  EXPECT_TRUE(rig.releasedWithStop());
  command(0.3, 0.0);  // stale by the next activation
  EXPECT_EQ(client->request({{"cmd", "reset"}}).value("result", ""), "RTC_OK");
  EXPECT_EQ(client->request({{"cmd", "activate"}}).value("result", ""), "RTC_OK");
  peerIn("ACTIVE");
  EXPECT_TRUE(holdsAtRest(rig.board(), 10));

  // A stop written last into a 1 kHz stream is taken at once: the cycle
  // under way takes it, the frame already planned may still drive.
  const auto streamStart = Clock::now();
  for (auto next = streamStart; next - streamStart < 1500ms; next += 1ms) {
    command(0.3, 0.0);
    std::this_thread::sleep_until(next);
  }
  EXPECT_TRUE(rig.settlesOn(kForwardStraight, 0));
  command(0.0, 0.0);
  const std::size_t atStop = rig.board().frameCount();
  EXPECT_TRUE(rig.settlesOn(kStandstill));
  EXPECT_LE(leadingFrames(rig.board().framesFrom(atStop), kForwardStraight), 2u);

  // SIGINT while the chair moves: exit status 0, the chair stopped, the
  // name unbound.
  command(0.3, 0.0);
  EXPECT_TRUE(rig.settlesOn(kForwardStraight));
  EXPECT_TRUE(shutsDownOnSigint());
  EXPECT_TRUE(rig.releasedWithStop());
}

TEST_F(OpenRtmTest, SigintDuringTheHandshakeEndsItAtOnce) {
  rig.board().setSilent(true);
  // The trace level logs when the manager runs: on 2.0.2 a SIGINT that
  // comes earlier, while the preactivation is still waited for, is lost.
  ASSERT_NO_FATAL_FAILURE(start("logger.log_level: TRACE\n", false));
  ASSERT_TRUE(eventually(
      [&] {
        return contains(log("component.rtc.log"), "Manager::runManager()") &&
               contains(log("component.log"), "wait for wheel chair...");
      },
      kPatience))
      << log("component.log");

  // The handshake would wait 10 s for the board; the component's exit()
  // override, which the middleware's shutdown calls, ends it.
  const auto signalled = Clock::now();
  EXPECT_TRUE(shutsDownOnSigint());
  const double took = std::chrono::duration<double>(Clock::now() - signalled).count();
  EXPECT_LT(took, 5.0) << "s from SIGINT to the exit";
  EXPECT_TRUE(contains(log("component.log"), "connection abandoned")) << log("component.log");
  for (const ReceivedFrame& frame : rig.board().frames()) {
    EXPECT_TRUE(!frame.valid || isStopCommand(frame)) << describe(frame);
  }
  EXPECT_TRUE(rig.releasedWithStop());
}

}  // namespace
}  // namespace component_test
