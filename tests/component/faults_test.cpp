// The component when the board stops answering in the middle of a run.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "component_rig.h"
#include "output_checks.h"
#include "wheel_commands.h"

using namespace component_test;

namespace {

double vx(const json& sample) {
  const json& v = sample.at("data").at("vx");
  return v.is_number() ? v.get<double>() : -1.0;
}
double va(const json& sample) {
  const json& v = sample.at("data").at("va");
  return v.is_number() ? v.get<double>() : -1.0;
}

}  // namespace

TEST(ComponentFaults, SilentBoardKeepsCyclingAndStillStopsTheChair) {
  ComponentRig rig;
  rig.start({"conf.default.COM_Port: " + rig.devicePath()});
  json reply = rig.activate();
  ASSERT_EQ(reply.value("result", ""), "RTC_OK") << reply.dump() << rig.process().err();
  reply = rig.subscribe({"OdmetoryOut", "VelocityOut"});
  ASSERT_TRUE(reply.value("ok", false)) << reply.dump();

  rig.command(0.3, 0.0, 0.0);
  ASSERT_TRUE(rig.settlesOn(kForwardStraight));

  // A command that is not a number stops the chair; the outputs stay finite
  // (checked with every cycle below), and a good command drives again.
  reply = rig.request({{"cmd", "write"},
                       {"port", "VelocityIn"},
                       {"sample", {{"data", {{"vx", "NaN"}, {"vy", 0.0}, {"va", 0.0}}}}}});
  ASSERT_TRUE(reply.value("ok", false)) << reply.dump();
  EXPECT_TRUE(rig.settlesOn(kStandstill));
  rig.command(0.3, 0.0, 0.0);
  ASSERT_TRUE(rig.settlesOn(kForwardStraight));
  ASSERT_TRUE(rig.client().waitForEvents(
      [](const std::vector<ControlClient::Event>& events) {
        const std::vector<json> v = samplesOf(events, "VelocityOut");
        return !v.empty() && vx(v.back()) > 0.2;
      },
      10s))
      << "the chair does not move";

  // From now on no status frame comes back.
  rig.board().setSilent(true);
  const std::size_t silent = rig.client().eventCount();
  const std::size_t framesAtSilence = rig.board().frameCount();
  // The cycle goes on: every velocity sample soon reads 0 (no time passed in
  // the link's view), never a non-finite quotient.
  const auto standstillSamples = [silent](const std::vector<ControlClient::Event>& events) {
    std::vector<ControlClient::Event> after(
        events.begin() + static_cast<std::ptrdiff_t>(std::min(silent, events.size())),
        events.end());
    const std::vector<json> v = samplesOf(after, "VelocityOut");
    std::size_t trailingZeros = 0;
    for (auto it = v.rbegin(); it != v.rend() && vx(*it) == 0.0 && va(*it) == 0.0; ++it) {
      ++trailingZeros;
    }
    return trailingZeros;
  };
  EXPECT_TRUE(rig.client().waitForEvents(
      [&](const std::vector<ControlClient::Event>& events) {
        return standstillSamples(events) >= 10;
      },
      20s))
      << "no run of zero velocities while the board is silent";

  std::vector<ControlClient::Event> events = rig.client().events();
  events.erase(events.begin(), events.begin() + static_cast<std::ptrdiff_t>(silent));
  const std::vector<json> velocities = samplesOf(events, "VelocityOut");
  ASSERT_GE(velocities.size(), 10u);
  // Each cycle ends after the bounded wait for a status frame (about 100 ms),
  // so consecutive stamps stay close even on a loaded machine.
  std::uint32_t longestGap = 0;
  for (std::size_t i = 1; i < velocities.size(); ++i) {
    longestGap = std::max(
        longestGap, static_cast<std::uint32_t>(tickOf(velocities[i]) - tickOf(velocities[i - 1])));
  }
  EXPECT_LE(longestGap, 1500u) << "a cycle waited far beyond the bounded renewal wait";
  expectWellFormedCycles(rig.client().events());
  // The link kept sending commands to the silent board.
  EXPECT_GT(rig.board().frameCount(), framesAtSilence + 10);

  const auto started = Clock::now();
  reply = rig.deactivate();
  const auto took = Clock::now() - started;
  EXPECT_EQ(reply.value("state", ""), "INACTIVE") << reply.dump();
  EXPECT_LT(took, 5s) << "deactivation took "
                      << std::chrono::duration_cast<std::chrono::milliseconds>(took).count()
                      << " ms";
  EXPECT_TRUE(rig.boardReleased());
  EXPECT_TRUE(rig.lastFrameIsStop());

  reply = rig.request({{"cmd", "shutdown"}});
  EXPECT_TRUE(reply.value("ok", false));
  EXPECT_EQ(rig.process().wait(kExitTimeout), 0);
}
