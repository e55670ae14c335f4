// The component process from its start: its banners, ports and configuration,
// the direction check, the command split as the board sees it, what every
// cycle publishes and prints; then noise on the line, the board falls silent,
// the component is reset and activated again mounted backwards, and a signal
// ends it at rest.
#include <gtest/gtest.h>

#include <time.h>

#include <cmath>
#include <csignal>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "component_rig.h"
#include "wheel_commands.h"

using namespace component_test;

namespace {

// UTF-8 off Windows.
const std::string kConnectionLabel =
    "* \xe6\x8e\xa5\xe7\xb6\x9a"
    "COM:";

std::string banner(const char* header, const std::string& port, const char* footer) {
  return std::string(header) + "\n*\n" + kConnectionLabel + port +
         "\n* Foward Direction is FORWARD\n* Tread:0.5488[m]\n*\n" + footer + "\n";
}

double at(const json& sample, const char* a, const char* b = nullptr) {
  const json& data = sample.at("data").at(a);
  return b == nullptr ? data.get<double>() : data.at(b).get<double>();
}

std::uint32_t stampMs(const json& sample) {
  return sample["tm"]["sec"].get<std::uint32_t>() * 1000u +
         sample["tm"]["nsec"].get<std::uint32_t>() / 1000000u;
}

}  // namespace

// One component through its life, phase after phase: each starts where the
// one before left the chair.
class ComponentLifecycle : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    rig = std::make_unique<ComponentRig>();
    // Differs from "FORWARD" only in letter case: invalid, the chair is
    // driven as mounted forward.
    rig->start(
        {"conf.default.COM_Port: " + rig->devicePath(), "conf.default.Foward_Direction: Forward"});
    started = true;
  }
  static void TearDownTestSuite() { rig.reset(); }
  void SetUp() override { ASSERT_TRUE(started); }

  static inline std::unique_ptr<ComponentRig> rig;
  static inline bool started = false;
};

TEST_F(ComponentLifecycle, StartsAndDrives) {
  EXPECT_EQ(rig->request({{"cmd", "list"}})["components"], json::parse(R"([{
    "instance":"TolvarineContorollerModule0","type":"TolvarineContorollerModule",
    "category":"Category","state":"INACTIVE","rate":100.0,"ports":[
    {"name":"VelocityIn","direction":"in","type":"TimedVelocity2D","id":"IDL:ZEQ/TimedVelocity2D:1.0"},
    {"name":"VelocityOut","direction":"out","type":"TimedVelocity2D","id":"IDL:ZEQ/TimedVelocity2D:1.0"},
    {"name":"OdmetoryOut","direction":"out","type":"TimedPose2D","id":"IDL:ZEQ/TimedPose2D:1.0"}]}])"));
  EXPECT_EQ(rig->request({{"cmd", "get"}})["config"],
            json::parse(R"({"COM_Port":")" + rig->devicePath() +
                        R"(","Foward_Direction":"Forward","Tolvarine_Tread_meter":"0.5488",)"
                        R"("Command_Timeout_sec":"0"})"));
  // Configuration applies after onInitialize: its banner shows the defaults.
  const std::string startup =
      "onInitialize\n" + banner("*********** Default Parameters *************", "COM1",
                                "********************************************");
  EXPECT_EQ(withoutHostLines(rig->process().err()), startup);

  ASSERT_EQ(rig->transition("activate"), "RTC_OK") << rig->process().err();
  ASSERT_TRUE(rig->subscribe());
  const std::string activation =
      "Your Setting Foward Direction Parameter[Forward] is Invalid.\n\tSet parameter [FORWARD]\n" +
      banner("*********** Parameters *************", rig->devicePath(),
             "************************************") +
      "connecting... COM:" + rig->devicePath() + "\nwait for wheel chair...\n" +
      "wheel chir connect success\n\t  OK\n";
  ASSERT_TRUE(rig->process().waitForErr("\t  OK\n", 10s));
  // (Less a priority warning where real-time priority is not permitted.)
  std::string console;
  std::istringstream all(withoutHostLines(rig->process().err()));
  for (std::string line; std::getline(all, line);) {
    console += line.rfind("connector warning:", 0) == 0 ? "" : line + "\n";
  }
  EXPECT_EQ(console.substr(startup.size(), activation.size()), activation);
  // The bound variable fell back; the configuration keeps what was set.
  EXPECT_EQ(rig->request({{"cmd", "get"}, {"key", "Foward_Direction"}})["value"], "Forward");

  rig->command(0.5, 0.0, 0.2);
  EXPECT_TRUE(rig->settlesOn(kForwardSplit));
  EXPECT_TRUE(rig->process().waitForErr("\nw_in:0.2\tv_in0.5\n", 5s));
  rig->command(0.5, 0.7, 0.2);  // a sideways component changes nothing
  EXPECT_TRUE(rig->settlesOn(kForwardSplit));

  // Turning on the spot at 2 rad/s (the whole tread splits the command), then
  // reversing: the measured speed stays a path rate, the pose moves back.
  rig->command(0.0, 0.0, 1.0);
  EXPECT_TRUE(rig->settlesOn(kForwardTurnOnTheSpot, 20));
  std::vector<json> velocities = samplesOf(rig->client().events(), "VelocityOut");
  ASSERT_GE(velocities.size(), 10u);
  EXPECT_NEAR(at(velocities.back(), "va"), 2.0, 0.2);
  EXPECT_LT(at(velocities.back(), "vx"), 0.05);
  const json turned = samplesOf(rig->client().events(), "OdmetoryOut").back();
  rig->command(-0.3, 0.0, 0.0);
  EXPECT_TRUE(rig->settlesOn(kForwardReverse, 20));
  velocities = samplesOf(rig->client().events(), "VelocityOut");
  EXPECT_NEAR(at(velocities.back(), "vx"), 0.3, 0.1);
  const json reversed = samplesOf(rig->client().events(), "OdmetoryOut").back();
  const double heading = at(reversed, "heading");
  EXPECT_LT((at(reversed, "position", "x") - at(turned, "position", "x")) * std::cos(heading) +
                (at(reversed, "position", "y") - at(turned, "position", "y")) * std::sin(heading),
            -0.05);
  EXPECT_GT(expectWellFormedCycles(rig->client().events()), 50u);
  // Each cycle prints its command and then the pose it published.
  std::istringstream lines(rig->process().err());
  std::string labels;  // each line up to its first colon
  for (std::string line; std::getline(lines, line);) {
    labels += line.substr(0, line.find(':') + 1) + "\n";
  }
  EXPECT_TRUE(contains(labels, "w_in:\nX:\nY:\n\xce\xb8:\n"));
}

// Line noise after every second reply shifts the next one, 0x02 among it:
// the pose follows the board's path within 2 %, and the link holds.
TEST_F(ComponentLifecycle, NoiseAfterEverySecondReply) {
  const auto rest = [] {
    rig->command(0.0, 0.0, 0.0);
    ASSERT_TRUE(rig->settlesOn(kStandstill));
    ASSERT_TRUE(eventually([] { return rig->board().motorSpeeds().right == 0.0; }));
    const std::size_t seen = samplesOf(rig->client().events(), "OdmetoryOut").size();
    ASSERT_TRUE(eventually(
        [&] { return samplesOf(rig->client().events(), "OdmetoryOut").size() > seen + 2; }));
  };
  ASSERT_NO_FATAL_FAILURE(rest());
  const std::size_t consoleBefore = rig->process().err().size();
  const tolvarine_board_sim::ChairPose truthBefore = rig->board().truePose();
  const json before = samplesOf(rig->client().events(), "OdmetoryOut").back();
  rig->board().setNoiseAfterEvery(2, 5);
  rig->command(0.5, 0.0, 0.0);
  ASSERT_TRUE(rig->settlesOn(kHalfMetre, 250));
  ASSERT_NO_FATAL_FAILURE(rest());
  rig->board().setNoiseAfterEvery(0, 5);
  const tolvarine_board_sim::ChairPose truthAfter = rig->board().truePose();
  const json after = samplesOf(rig->client().events(), "OdmetoryOut").back();
  const double truth = truthAfter.distance - truthBefore.distance;
  ASSERT_GT(truth, 0.4);
  EXPECT_NEAR(std::hypot(at(after, "position", "x") - at(before, "position", "x"),
                         at(after, "position", "y") - at(before, "position", "y")),
              truth, 0.02 * truth);
  const double turned = at(after, "heading") - at(before, "heading");
  EXPECT_NEAR(std::remainder(turned - (truthAfter.theta - truthBefore.theta), 2 * M_PI), 0.0, 0.02);
  EXPECT_FALSE(contains(rig->process().err().substr(consoleBefore), "the link is lost"));
}

TEST_F(ComponentLifecycle, BoardFallsSilentWhileDriving) {
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

TEST_F(ComponentLifecycle, ResetAndActivatedAgainMountedBackwards) {
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
    EXPECT_EQ(wheelsOf(f), kStandstill) << describe(f);
  }
  rig->command(0.5, 0.0, 0.2);
  EXPECT_TRUE(rig->settlesOn(kBackSplit));
}

TEST_F(ComponentLifecycle, SigintEndsAtRest) {
  rig->process().signal(SIGINT);
  EXPECT_EQ(rig->process().wait(), 0);
  EXPECT_TRUE(rig->releasedWithStop());
}
