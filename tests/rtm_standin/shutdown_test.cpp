// Start-up and shutdown of a component process: signals, the order of the
// shutdown steps, exit statuses, and what bad options do.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <sys/stat.h>

#include "test_support.h"

namespace {

using namespace std::chrono_literals;
using standin_test::ControlClient;
using standin_test::json;
using standin_test::lineIndex;
using standin_test::Process;
using standin_test::TempDir;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr auto kStartup = 60s;
constexpr auto kExit = 60s;

std::vector<std::string> probe(const TempDir& dir, std::vector<std::string> extra = {}) {
  std::vector<std::string> argv{STANDIN_PROBE_HOST, "-o",
                                "manager.standin.control_socket: " + dir.file("probe.sock")};
  argv.insert(argv.end(), extra.begin(), extra.end());
  return argv;
}

bool exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

void expectCleanShutdownOfActiveProbe(int signo, const char* name) {
  TempDir dir;
  Process host(probe(dir, {"-o", "manager.components.preactivation: Probe0"}), dir.path());
  ASSERT_TRUE(host.waitForErr("rtm-standin: Probe0: ACTIVE\n", kStartup)) << host.err();
  ASSERT_TRUE(standin_test::waitForSocket(dir.file("probe.sock"), kStartup));
  ControlClient watcher(dir.file("probe.sock"));
  json subscribe{{"cmd", "subscribe"}, {"ports", "count"}};
  ASSERT_TRUE(watcher.request(subscribe).value("ok", false));

  host.signal(signo);
  EXPECT_EQ(host.wait(kExit), 0) << host.err();
  const std::string err = host.err();
  const int received =
      lineIndex(err, std::string("rtm-standin: received ") + name + "; shutting down");
  const int exited = lineIndex(err, "Probe: exit");
  const int deactivated = lineIndex(err, "Probe: onDeactivated");
  const int finalized = lineIndex(err, "Probe: onFinalize");
  const int closed =
      lineIndex(err, "rtm-standin: closed the control socket " + dir.file("probe.sock"));
  const int deleted = lineIndex(err, "Probe: deleted");
  EXPECT_GE(received, 0) << err;
  EXPECT_GT(exited, received) << err;
  EXPECT_GT(deactivated, exited) << err;
  EXPECT_GT(finalized, deactivated) << err;
  EXPECT_GT(closed, finalized) << "the components exit before the control socket closes\n" << err;
  EXPECT_GT(deleted, closed) << err;
  EXPECT_FALSE(exists(dir.file("probe.sock"))) << "the socket file is removed";

  bool told = false;
  while (std::optional<json> event = watcher.nextEvent(10s)) {
    told = told || event->value("event", "") == "shutdown";
  }
  EXPECT_TRUE(told) << "subscribers hear of the shutdown before the socket closes";
}

TEST(Shutdown, SigintDeactivatesFinalizesAndDeletesInOrder) {
  expectCleanShutdownOfActiveProbe(SIGINT, "SIGINT");
}

TEST(Shutdown, SigtermDoesTheSame) {
  expectCleanShutdownOfActiveProbe(SIGTERM, "SIGTERM");
}

// Fifty clients subscribed to the out-ports (two written every cycle), each
// asking for the list as fast as the replies come and waiting for a sample
// after each reply: none of them may ever stop being served, and a signal
// must deactivate the component before the control socket goes and end the
// process promptly while they are still at it.
TEST(Shutdown, BusyClientsNeitherLockTheHostNorDelayTheStop) {
  constexpr int kClients = 50;
  for (int run = 0; run < 10; ++run) {
    SCOPED_TRACE("run " + std::to_string(run));
    TempDir dir;
    Process host(probe(dir, {"-o", "manager.components.preactivation: Probe0", "-o",
                             "Test.Probe.conf.default.blob_size: 16"}),
                 dir.path());
    ASSERT_TRUE(host.waitForErr("rtm-standin: Probe0: ACTIVE\n", kStartup)) << host.err();

    std::vector<std::atomic<int>> rounds(kClients);  // a reply and a sample each
    std::vector<std::thread> clients;
    struct Cleanup {
      std::function<void()> run;
      ~Cleanup() { run(); }
    } cleanup{[&] {
      host.signal(SIGKILL);  // only when still running: a failed run
      for (std::thread& t : clients) {
        t.join();
      }
    }};
    for (int i = 0; i < kClients; ++i) {
      clients.emplace_back([&, i] {
        try {
          ControlClient c(dir.file("probe.sock"));
          c.request(json{{"cmd", "subscribe"}, {"ports", {"count", "out", "blob"}}}, 10s);
          while (true) {
            c.request(json{{"cmd", "list"}}, 10s);
            // Then at least one sample, and whatever else has come.
            int samples = 0;
            while (std::optional<json> event = c.nextEvent(samples > 0 ? 0ms : 10000ms)) {
              samples += event->value("event", "") == "sample";
            }
            if (samples == 0) {
              throw std::runtime_error("no sample");
            }
            ++rounds[i];
          }
        } catch (const std::exception&) {
          // The host went away or stopped answering; the checks tell which.
        }
      });
    }
    // Every client keeps being served, check after check, for a while.
    const auto loaded = std::chrono::steady_clock::now() + 2000ms;
    for (int check = 0; check < 3 || std::chrono::steady_clock::now() < loaded; ++check) {
      std::vector<int> seen(rounds.begin(), rounds.end());
      auto stuck = [&] {
        int n = 0;
        for (int i = 0; i < kClients; ++i) {
          n += rounds[i] == seen[i];
        }
        return n;
      };
      ASSERT_TRUE(standin_test::eventually([&] { return stuck() == 0; }, 10s))
          << "check " << check << ": " << stuck() << " clients got no reply or no sample";
    }

    const auto signalledAt = std::chrono::steady_clock::now();
    host.signal(SIGINT);
    ASSERT_EQ(host.wait(20s), 0) << host.err();
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - signalledAt);
    EXPECT_LT(took.count(), 1000) << "ms from the signal to the end of the process";
    const std::string err = host.err();
    const int deactivated = lineIndex(err, "Probe: onDeactivated");
    EXPECT_GE(deactivated, 0) << err;
    EXPECT_LT(deactivated,
              lineIndex(err, "rtm-standin: closed the control socket " + dir.file("probe.sock")))
        << err;
  }
}

TEST(Shutdown, InactiveComponentIsNotDeactivated) {
  TempDir dir;
  Process host(probe(dir), dir.path());
  ASSERT_TRUE(standin_test::waitForSocket(dir.file("probe.sock"), kStartup)) << host.err();
  host.signal(SIGINT);
  EXPECT_EQ(host.wait(kExit), 0) << host.err();
  EXPECT_THAT(host.err(), Not(HasSubstr("onDeactivated")));
  EXPECT_GT(lineIndex(host.err(), "Probe: deleted"), lineIndex(host.err(), "Probe: onFinalize"));
}

TEST(Startup, BadOptionsEndWithStatus2BeforeAnythingStarts) {
  TempDir dir;
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  const std::vector<Case> cases{
      {{"-o", "no colon here"}, "option -o expects \"key: value\""},
      {{"-f", dir.file("missing.conf")},
       "cannot read configuration file " + dir.file("missing.conf")},
      {{"-q"}, "unknown option -q"},
      {{"-o", "exec_cxt.periodic.rate: zero"}, "positive number of Hz"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> argv{STANDIN_PROBE_HOST};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    Process host(argv, dir.path());
    EXPECT_EQ(host.wait(kExit), 2) << c.message;
    EXPECT_THAT(host.err(), HasSubstr(c.message));
    EXPECT_THAT(host.err(), HasSubstr("--help"));
    EXPECT_THAT(host.err(), Not(HasSubstr("Probe: onInitialize"))) << c.message;
  }
  EXPECT_FALSE(exists(dir.file("Probe0.sock")));
}

TEST(Startup, HelpPrintsTheOptions) {
  TempDir dir;
  Process host({STANDIN_PROBE_HOST, "--help"}, dir.path());
  EXPECT_EQ(host.wait(kExit), 0);
  EXPECT_THAT(host.out(), HasSubstr("Usage: "));
  EXPECT_THAT(host.out(), HasSubstr("-f FILE"));
  EXPECT_THAT(host.out(), HasSubstr("manager.standin.control_socket"));
}

TEST(Startup, OpenRtmOptionsWithoutEffectAreReported) {
  TempDir dir;
  Process host(probe(dir, {"-a", "-p", "2810"}), dir.path());
  ASSERT_TRUE(standin_test::waitForSocket(dir.file("probe.sock"), kStartup)) << host.err();
  EXPECT_THAT(host.err(), HasSubstr("option -a has no effect here"));
  EXPECT_THAT(host.err(), HasSubstr("option -p 2810 has no effect here"));
  host.signal(SIGINT);
  EXPECT_EQ(host.wait(kExit), 0);
}

TEST(Startup, RtcConfInTheWorkingFolderIsRead) {
  TempDir dir;
  dir.write("rtc.conf",
            "# read without -f\n"
            "manager.standin.control_socket: " +
                dir.file("from-conf.sock") +
                "\n"
                "exec_cxt.periodic.rate: 20\n"
                "Test.Probe.conf.default.label: \\\n"
                "    configured\n");
  Process host({STANDIN_PROBE_HOST, "-o", "Test.Probe.conf.default.gain: 4"}, dir.path());
  ASSERT_TRUE(standin_test::waitForSocket(dir.file("from-conf.sock"), kStartup)) << host.err();
  ControlClient client(dir.file("from-conf.sock"));
  json list = client.request(json{{"cmd", "list"}});
  EXPECT_DOUBLE_EQ(list["components"][0]["rate"].get<double>(), 20);
  json config = client.request(json{{"cmd", "get"}})["config"];
  EXPECT_EQ(config["label"], "configured");
  EXPECT_EQ(config["gain"], "4");
  host.signal(SIGINT);
  EXPECT_EQ(host.wait(kExit), 0);
}

TEST(Startup, UnreadableComponentConfigurationFailsTheCreation) {
  TempDir dir;
  Process host(probe(dir, {"-o", "Test.Probe.config_file: " + dir.file("probe.conf")}), dir.path());
  // The probe's main aborts when its component cannot be created.
  EXPECT_EQ(host.wait(kExit), 128 + SIGABRT);
  EXPECT_THAT(host.err(), HasSubstr("cannot create \"Probe\": cannot read configuration file"));
  EXPECT_THAT(host.err(), HasSubstr("Component create failed."));
  EXPECT_THAT(host.err(), Not(HasSubstr("Probe: onInitialize"))) << "nothing was constructed";
}

}  // namespace
