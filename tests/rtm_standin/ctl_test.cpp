// rtm-standin-ctl, the command-line client, driving the example component
// the way a shell script does.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

using namespace std::chrono_literals;
using standin_test::json;
using standin_test::lines;
using standin_test::Process;
using standin_test::TempDir;
using ::testing::HasSubstr;
using ::testing::StartsWith;

constexpr auto kStartup = 60s;
constexpr auto kExit = 60s;

struct Result {
  int status = -1;
  std::string out;
  std::string err;
};

Result ctl(const std::vector<std::string>& args, const std::string& cwd) {
  std::vector<std::string> argv{STANDIN_CTL};
  argv.insert(argv.end(), args.begin(), args.end());
  Process p(argv, cwd);
  std::optional<int> status = p.wait(kExit);
  return {status ? *status : -1, p.out(), p.err()};
}

TEST(Client, HelpAndUsageErrors) {
  TempDir dir;
  Result help = ctl({"--help"}, dir.path());
  EXPECT_EQ(help.status, 0);
  EXPECT_THAT(help.out, StartsWith("Usage: rtm-standin-ctl"));
  EXPECT_THAT(help.out, HasSubstr("watch PORT..."));

  EXPECT_EQ(ctl({}, dir.path()).status, 2);
  Result unknown = ctl({"-s", "x.sock", "fly"}, dir.path());
  EXPECT_EQ(unknown.status, 2);
  EXPECT_THAT(unknown.err, HasSubstr("unknown command \"fly\""));
  Result badJson = ctl({"-s", "x.sock", "write", "in", "{nope"}, dir.path());
  EXPECT_EQ(badJson.status, 2);
  EXPECT_THAT(badJson.err, HasSubstr("the sample is not valid JSON"));
  EXPECT_EQ(ctl({"-s", "x.sock", "set", "onlykey"}, dir.path()).status, 2);
  EXPECT_EQ(ctl({"-s", "x.sock", "-n", "0", "watch", "p"}, dir.path()).status, 2);
  Result none = ctl({"list"}, dir.path());
  EXPECT_EQ(none.status, 2);
  EXPECT_THAT(none.err, HasSubstr("no control socket (*.sock) in the current folder"));
}

TEST(Client, UnreachableHost) {
  TempDir dir;
  Result r = ctl({"-s", dir.file("gone.sock"), "list"}, dir.path());
  EXPECT_EQ(r.status, 3);
  EXPECT_THAT(r.err, HasSubstr("cannot connect to " + dir.file("gone.sock")));
}

// The example component, driven and observed from the shell: the stand-in's
// "done when".
TEST(Client, DrivesTheExampleComponent) {
  TempDir dir;
  Process host({STANDIN_EXAMPLE, "-o", "exec_cxt.periodic.rate: 20"}, dir.path());
  ASSERT_TRUE(standin_test::waitForSocket(dir.file("PoseIntegrator0.sock"), kStartup))
      << host.err();

  // The only socket in the folder is found without -s.
  Result list = ctl({"list"}, dir.path());
  ASSERT_EQ(list.status, 0) << list.err;
  EXPECT_EQ(lines(list.out),
            (std::vector<std::string>{
                "PoseIntegrator0  INACTIVE  20 Hz  (Example / PoseIntegrator)",
                "  in   VelocityIn  TimedVelocity2D", "  out  PoseOut  TimedPose2D"}));

  Result activate = ctl({"activate"}, dir.path());
  EXPECT_EQ(activate.status, 0) << activate.err;
  EXPECT_EQ(activate.out, "PoseIntegrator0 ACTIVE\n");
  Result again = ctl({"activate"}, dir.path());
  EXPECT_EQ(again.status, 1);
  EXPECT_THAT(again.err, HasSubstr("it is ACTIVE, not INACTIVE"));

  EXPECT_EQ(ctl({"get", "speed_limit"}, dir.path()).out, "1.0\n");
  Result set = ctl({"set", "speed_limit", "0.4"}, dir.path());
  EXPECT_EQ(set.status, 0) << set.err;
  EXPECT_EQ(set.out, "PoseIntegrator0: speed_limit = 0.4 (after the current cycle)\n");
  EXPECT_EQ(ctl({"set", "speed_limit", "fast"}, dir.path()).status, 1);

  // Straight ahead at 1 m/s, clamped to the 0.4 m/s limit.
  Result write = ctl({"write", "VelocityIn", R"({"data":{"vx":1.0,"vy":0,"va":0}})"}, dir.path());
  EXPECT_EQ(write.status, 0) << write.err;
  Result watch = ctl({"watch", "PoseOut", "-n", "10"}, dir.path());
  ASSERT_EQ(watch.status, 0) << watch.err;
  std::vector<std::string> samples = lines(watch.out);
  ASSERT_EQ(samples.size(), 10u);
  double previousX = -1;
  for (const std::string& line : samples) {
    json sample = json::parse(line);
    EXPECT_EQ(sample["port"], "PoseOut");
    const json& data = sample["sample"]["data"];
    const double x = data["position"]["x"].get<double>();
    EXPECT_GE(x, previousX);
    EXPECT_DOUBLE_EQ(data["position"]["y"].get<double>(), 0);
    EXPECT_DOUBLE_EQ(data["heading"].get<double>(), 0);
    previousX = x;
  }
  // The first samples may come from before the new limit applied.
  const json first = json::parse(samples[4])["sample"];
  const json last = json::parse(samples.back())["sample"];
  const double seconds =
      (last["tm"]["sec"].get<double>() - first["tm"]["sec"].get<double>()) +
      (last["tm"]["nsec"].get<double>() - first["tm"]["nsec"].get<double>()) * 1e-9;
  const double travelled =
      last["data"]["position"]["x"].get<double>() - first["data"]["position"]["x"].get<double>();
  ASSERT_GT(seconds, 0);
  EXPECT_NEAR(travelled / seconds, 0.4, 0.1) << "the pose advances at the clamped speed";

  EXPECT_EQ(ctl({"deactivate"}, dir.path()).out, "PoseIntegrator0 INACTIVE\n");
  Result shutdown = ctl({"shutdown"}, dir.path());
  EXPECT_EQ(shutdown.status, 0) << shutdown.err;
  EXPECT_EQ(host.wait(kExit), 0) << host.err();
  EXPECT_THAT(host.err(), HasSubstr("PoseIntegrator: stopped at x "));
}

TEST(Client, WatchEndsWhenInterruptedOrWhenTheHostShutsDown) {
  TempDir dir;
  Process host({STANDIN_EXAMPLE, "-o", "exec_cxt.periodic.rate: 50", "-o",
                "manager.components.preactivation: PoseIntegrator0"},
               dir.path());
  const std::string socket = dir.file("PoseIntegrator0.sock");
  ASSERT_TRUE(standin_test::waitForSocket(socket, kStartup)) << host.err();
  auto printing = [](Process& p) {
    return standin_test::eventually([&] { return p.out().find("PoseOut") != std::string::npos; },
                                    30s);
  };
  // Interrupted, watch ends quietly.
  Process interrupted({STANDIN_CTL, "-s", socket, "watch", "PoseOut"}, dir.path());
  ASSERT_TRUE(printing(interrupted));
  interrupted.signal(SIGINT);
  EXPECT_EQ(interrupted.wait(kExit), 0) << interrupted.err();

  Process watch({STANDIN_CTL, "-s", socket, "watch", "PoseOut"}, dir.path());
  ASSERT_TRUE(printing(watch));
  host.signal(SIGINT);
  EXPECT_EQ(host.wait(kExit), 0) << host.err();
  EXPECT_EQ(watch.wait(kExit), 0) << watch.err();
  EXPECT_THAT(watch.err(), HasSubstr("the host shut down"));
}

TEST(Client, JsonOutputAndRawRequests) {
  TempDir dir;
  Process host({STANDIN_EXAMPLE}, dir.path());
  const std::string socket = dir.file("PoseIntegrator0.sock");
  ASSERT_TRUE(standin_test::waitForSocket(socket, kStartup)) << host.err();
  Result get = ctl({"-s", socket, "--json", "get"}, dir.path());
  ASSERT_EQ(get.status, 0) << get.err;
  json reply = json::parse(get.out);
  EXPECT_EQ(reply["config"].dump(), R"({"speed_limit":"1.0","turn_limit":"1.0"})");
  Result raw = ctl({"-s", socket, "send", R"({"cmd":"reset"})"}, dir.path());
  EXPECT_EQ(raw.status, 1);
  EXPECT_EQ(json::parse(raw.out)["result"], "PRECONDITION_NOT_MET");
  host.signal(SIGTERM);
  EXPECT_EQ(host.wait(kExit), 0);
}

}  // namespace
