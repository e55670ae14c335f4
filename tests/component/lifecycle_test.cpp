// The component process from start to signal: its banners, ports and
// configuration, the direction check, the command split as the board sees it,
// what every cycle publishes and prints, and a shutdown that busy clients
// cannot hold up.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <csignal>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <sys/resource.h>
#include <unistd.h>

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

}  // namespace

TEST(ComponentLifecycle, StartDriveAndInterrupt) {
  ComponentRig rig;
  // Differs from "FORWARD" only in letter case: invalid, the chair is
  // driven as mounted forward.
  rig.start(
      {"conf.default.COM_Port: " + rig.devicePath(), "conf.default.Foward_Direction: Forward"});

  json list = rig.request({{"cmd", "list"}});
  ASSERT_EQ(list["components"].size(), 1u) << list.dump();
  EXPECT_EQ(list["components"][0]["instance"], kInstance);
  EXPECT_EQ(list["components"][0]["type"], "TolvarineContorollerModule");
  EXPECT_EQ(list["components"][0]["state"], "INACTIVE");
  EXPECT_EQ(list["components"][0]["ports"], json::parse(R"([
    {"name":"VelocityIn","direction":"in","type":"TimedVelocity2D","id":"IDL:ZEQ/TimedVelocity2D:1.0"},
    {"name":"VelocityOut","direction":"out","type":"TimedVelocity2D","id":"IDL:ZEQ/TimedVelocity2D:1.0"},
    {"name":"OdmetoryOut","direction":"out","type":"TimedPose2D","id":"IDL:ZEQ/TimedPose2D:1.0"}])"));
  EXPECT_EQ(rig.request({{"cmd", "get"}})["config"],
            json::parse(R"({"COM_Port":")" + rig.devicePath() +
                        R"(","Foward_Direction":"Forward","Tolvarine_Tread_meter":"0.5488",)"
                        R"("Command_Timeout_sec":"0"})"));
  // Configuration applies after onInitialize: its banner shows the defaults.
  const std::string startup =
      "onInitialize\n" + banner("*********** Default Parameters *************", "COM1",
                                "********************************************");
  EXPECT_EQ(withoutHostLines(rig.process().err()), startup);

  ASSERT_EQ(rig.transition("activate"), "RTC_OK") << rig.process().err();
  ASSERT_TRUE(rig.subscribe());
  const std::string activation =
      "Your Setting Foward Direction Parameter[Forward] is Invalid.\n\tSet parameter [FORWARD]\n" +
      banner("*********** Parameters *************", rig.devicePath(),
             "************************************") +
      "connecting... COM:" + rig.devicePath() + "\nwait for wheel chair...\n" +
      "wheel chir connect success\n\t  OK\n";
  ASSERT_TRUE(rig.process().waitForErr("\t  OK\n", 10s));
  // (Less a priority warning where real-time priority is not permitted.)
  std::string console;
  std::istringstream all(withoutHostLines(rig.process().err()));
  for (std::string line; std::getline(all, line);) {
    console += line.rfind("connector warning:", 0) == 0 ? "" : line + "\n";
  }
  EXPECT_EQ(console.substr(startup.size(), activation.size()), activation);
  // The bound variable fell back; the configuration keeps what was set.
  EXPECT_EQ(rig.request({{"cmd", "get"}, {"key", "Foward_Direction"}})["value"], "Forward");

  rig.command(0.5, 0.0, 0.2);
  EXPECT_TRUE(rig.settlesOn(kForwardSplit));
  EXPECT_TRUE(rig.process().waitForErr("\nw_in:0.2\tv_in0.5\n", 5s));
  rig.command(0.5, 0.7, 0.2);  // a sideways component changes nothing
  EXPECT_TRUE(rig.settlesOn(kForwardSplit));

  // Turning on the spot at 2 rad/s (the whole tread splits the command), then
  // reversing: the measured speed stays a path rate, the pose moves back.
  rig.command(0.0, 0.0, 1.0);
  EXPECT_TRUE(rig.settlesOn(kForwardTurnOnTheSpot, 20));
  std::vector<json> velocities = samplesOf(rig.client().events(), "VelocityOut");
  ASSERT_GE(velocities.size(), 10u);
  EXPECT_NEAR(at(velocities.back(), "va"), 2.0, 0.2);
  EXPECT_LT(at(velocities.back(), "vx"), 0.05);
  const json turned = samplesOf(rig.client().events(), "OdmetoryOut").back();
  rig.command(-0.3, 0.0, 0.0);
  EXPECT_TRUE(rig.settlesOn(kForwardReverse, 20));
  velocities = samplesOf(rig.client().events(), "VelocityOut");
  EXPECT_NEAR(at(velocities.back(), "vx"), 0.3, 0.1);
  const json reversed = samplesOf(rig.client().events(), "OdmetoryOut").back();
  const double heading = at(reversed, "heading");
  EXPECT_LT((at(reversed, "position", "x") - at(turned, "position", "x")) * std::cos(heading) +
                (at(reversed, "position", "y") - at(turned, "position", "y")) * std::sin(heading),
            -0.05);
  EXPECT_GT(expectWellFormedCycles(rig.client().events()), 50u);
  // Each cycle prints its command and then the pose it published.
  std::istringstream lines(withoutHostLines(rig.process().err()).substr(startup.size()));
  std::vector<std::string> trace;
  for (std::string line; std::getline(lines, line);) {
    trace.push_back(line);
  }
  std::size_t traced = 0;
  for (std::size_t i = 0; i + 3 < trace.size(); ++i) {
    if (trace[i].rfind("w_in:", 0) == 0 && trace[i + 1].rfind("X:", 0) == 0) {
      EXPECT_EQ(trace[i + 2].rfind("Y:", 0), 0u);
      EXPECT_EQ(trace[i + 3].rfind("\xce\xb8:", 0), 0u);
      ++traced;
    }
  }
  EXPECT_GT(traced, 50u);

  // Fifty clients keep the control socket busy; a signal still stops the
  // chair at once and ends the process.
  std::atomic<bool> done{false};
  std::atomic<int> replies{0};
  std::vector<std::thread> clients;
  for (int i = 0; i < 50; ++i) {
    clients.emplace_back([&] {
      ControlClient client(rig.socketPath());
      client.tryRequest({{"cmd", "subscribe"}, {"ports", {"OdmetoryOut", "VelocityOut"}}}, 10s);
      while (!done && client.tryRequest({{"cmd", "list"}}, 2s)) {
        ++replies;
      }
    });
  }
  ASSERT_TRUE(eventually([&] { return replies > 500; }, 10s)) << "the host stalls";
  const auto signalled = Clock::now();
  rig.process().signal(SIGINT);
  const std::optional<int> status = rig.process().wait(kPatience);
  const auto took = Clock::now() - signalled;
  done = true;
  for (std::thread& t : clients) {
    t.join();
  }
  EXPECT_EQ(status, 0);
  EXPECT_LT(took, std::chrono::milliseconds(1000 * TOLVARINE_TEST_TIME_SCALE));
  EXPECT_TRUE(rig.releasedWithStop());
  EXPECT_NE(::access(rig.socketPath().c_str(), F_OK), 0) << "the socket is left behind";
}

TEST(ComponentLifecycle, AnErrorInItsConfigurationEndsTheProcessWithStatus2) {
  // The host cannot create the component: its own rate is no rate. It says
  // why and ends, before the component could fail for want of one.
  TempDir dir;
  ComponentProcess process(dir.path(),
                           {"-o", "Category.TolvarineContorollerModule.exec_cxt.periodic.rate: 0"});
  EXPECT_EQ(process.wait(kPatience), 2) << process.err();
  EXPECT_NE(process.err().find("must be a positive number of Hz, got \"0\""), std::string::npos);
  EXPECT_EQ(withoutHostLines(process.err()), "");
}
