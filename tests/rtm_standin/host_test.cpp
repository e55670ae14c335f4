// The host end to end: probe component processes driven through the control
// socket and rtm-standin-ctl, from their configuration to the shutdown on a
// signal. The probe reports its hooks on standard error (see probe_host.cpp).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <sys/stat.h>

#include "control_client.h"
#include "temp_dir.h"
#include "test_process.h"

namespace {

using namespace test_support;
using ::testing::HasSubstr;

struct TempDir : tolvarine_tools::TempDir {
  TempDir() : tolvarine_tools::TempDir("standin-test") {}
};

json cmd(const char* name, json fields = json::object()) {
  fields["cmd"] = name;
  return fields;
}

// The number of the first line of `text` from line `from` on that starts
// with `prefix`, or -1 (also when `from` is -1).
int lineOf(const std::string& text, const std::string& prefix, int from = 0) {
  std::istringstream in(text);
  std::string line;
  for (int n = 0; from >= 0 && std::getline(in, line); ++n) {
    if (n >= from && line.compare(0, prefix.size(), prefix) == 0) {
      return n;
    }
  }
  return -1;
}

// Each step of a shutdown must be found after the one before it.
void expectInOrder(const std::string& err, const std::vector<std::string>& steps) {
  int at = 0;
  for (const std::string& step : steps) {
    at = lineOf(err, step, at);
    EXPECT_GE(at, 0) << "\"" << step << "\" missing or out of order in\n" << err;
  }
}

// The file's type and permissions; 0 when there is none.
unsigned modeOf(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? st.st_mode : 0;
}

// Requests the whole component's life goes through, and a SIGINT amid
// twenty busy clients and one that stopped reading.
TEST(Host, ControlSessionEndedBySigint) {
  TempDir dir;
  const std::string socket = dir.file("ctl.sock");
  dir.write("probe.conf",
            "conf.default.gain: 2\nconf.default.execute_ms: 9\nexec_cxt.periodic.rate: 100\n");
  dir.write("manager.conf",
            "exec_cxt.periodic.rate: 10\nmanager.standin.control_socket: ctl.sock\n"
            "Test.Probe.config_file: probe.conf\nTest.Probe.conf.default.execute_ms: \\\n  7\n");
  TestProcess host(
      {STANDIN_PROBE_HOST, "-f", "manager.conf", "-o", "Test.Probe.conf.default.execute_ms: 1"},
      dir.path(), "host");
  ASSERT_TRUE(waitForSocket(socket)) << host.err();
  EXPECT_EQ(modeOf(socket), S_IFSOCK | 0600u);
  {
    TestProcess second({STANDIN_PROBE_HOST, "-o", "manager.standin.control_socket: " + socket},
                       dir.path(), "second");
    EXPECT_EQ(second.wait(), 1);
    EXPECT_THAT(second.err(), HasSubstr("is in use by a running host"));
    EXPECT_THAT(second.err(), HasSubstr("Probe0: deleted")) << "what it made is cleaned up";
  }

  ControlClient c(socket);
  EXPECT_EQ(c.request(cmd("list"))["components"], json::parse(R"([{"instance":"Probe0",
      "type":"Probe","category":"Test","state":"INACTIVE","rate":100.0,"ports":[
      {"name":"in","direction":"in","type":"TimedVelocityWithLists",
       "id":"IDL:StandinTest/TimedVelocityWithLists:1.0"},
      {"name":"out","direction":"out","type":"TimedVelocityWithLists",
       "id":"IDL:StandinTest/TimedVelocityWithLists:1.0"},
      {"name":"count","direction":"out","type":"TimedLong","id":"IDL:RTC/TimedLong:1.0"},
      {"name":"blob","direction":"out","type":"TimedDoubleSeq","id":"IDL:RTC/TimedDoubleSeq:1.0"}
      ]}])"))
      << "the component file's rate beats the manager's";
  EXPECT_EQ(c.request(cmd("get"))["config"], json::parse(R"({"gain":"2","fail_activation":"false",
      "fail_execute":"false","execute_ms":"1","blob_size":"0"})"))
      << "profile, then the component file, then the manager's file, then -o";

  const std::vector<std::pair<std::string, std::string>> mistakes{
      {R"({"cmd":"fly"})", "unknown command \"fly\""},
      {R"({"nocmd":1})", "missing \"cmd\""},
      {R"({"cmd":"get","key":5})", "\"key\" must be a string"},
      {R"({"cmd":"get","key":"nothing"})", "no parameter 'nothing'"},
      {R"({"cmd":"activate","component":"Nobody"})",
       "no component named \"Nobody\" (components: Probe0)"},
      {R"({"cmd":"set","key":"gian","value":"2"})", "no parameter 'gian'"},
      {R"({"cmd":"set","key":"gain","value":"abc"})", "'abc' is not a valid value for gain"},
      {R"({"cmd":"write","port":"out","sample":{}})", "\"out\" is an out-port"},
      {R"({"cmd":"write","port":"nowhere","sample":{}})",
       "no in-port named \"nowhere\" (in-ports: Probe0.in)"},
      {R"({"cmd":"write","port":"in"})", "missing \"sample\""},
      {R"({"cmd":"subscribe","ports":["in"]})", "is an in-port"},
      {R"({"cmd":"reset"})", "cannot reset Probe0: it is INACTIVE, not ERROR"},
      {R"({"cmd":"deactivate"})", "cannot deactivate Probe0: it is INACTIVE, not ACTIVE"},
      {std::string(1100 * 1024, 'x'), "request longer than"}};
  for (const auto& [line, message] : mistakes) {
    SCOPED_TRACE(line.substr(0, 60));
    c.sendLine(line);
    std::optional<json> reply = c.next();
    ASSERT_TRUE(reply);
    EXPECT_FALSE(reply->value("ok", true));
    EXPECT_THAT(reply->value("error", ""), HasSubstr(message));
  }

  json reply = c.request(cmd("set", {{"key", "gain"}, {"value", 3}}));
  EXPECT_EQ(reply["applies"], "at the next activation") << reply;
  EXPECT_EQ(c.request(cmd("subscribe", {{"ports", {"out", "Probe0.count"}}}))["subscribed"],
            json::parse(R"(["Probe0.out","Probe0.count"])"));
  ControlClient d(socket);
  EXPECT_TRUE(d.request(cmd("subscribe", {{"ports", "out"}})).value("ok", false));

  reply = c.request(cmd("activate"));
  EXPECT_EQ(reply.dump(),
            R"({"id":)" + reply["id"].dump() +
                R"(,"ok":true,"component":"Probe0","state":"ACTIVE","result":"RTC_OK"})");
  EXPECT_GE(lineOf(host.err(), "Probe0: onActivated gain=3"), 0) << "refreshed before it";
  reply = c.request(cmd("activate"));
  EXPECT_EQ(reply["result"], "PRECONDITION_NOT_MET");
  EXPECT_THAT(reply.value("error", ""), HasSubstr("it is ACTIVE, not INACTIVE"));

  // Samples in, scaled by the gain, out to both clients in order, with
  // their time stamps and the sequences around the payload.
  const auto velocity = [](int k, int gain) {
    const std::string n = std::to_string(k), v = std::to_string(k * gain);
    return json::parse(R"({"tm":{"sec":)" + n + R"(,"nsec":8},"id":[)" + n + R"(],"data":{"vx":)" +
                       v + R"(,"vy":0.25,"va":-)" + v + R"(},"error":[0.125]})");
  };
  for (int k = 1; k <= 3; ++k) {
    EXPECT_EQ(c.request(cmd("write", {{"port", "in"}, {"sample", velocity(k, 1)}}))["port"],
              "Probe0.in");
  }
  for (ControlClient* client : {&c, &d}) {
    for (int k = 1; k <= 3; ++k) {
      EXPECT_EQ(client->nextSample("out"), velocity(k, 3));
    }
  }
  // A parameter set while active holds from the next cycle on, so once a
  // cycle has begun after the reply; a sample without a time stamp gets the
  // current time.
  const auto stamp = [](const std::optional<json>& s) {
    return s ? (*s)["tm"]["sec"].get<double>() + (*s)["tm"]["nsec"].get<double>() * 1e-9 : 1e300;
  };
  EXPECT_EQ(c.request(cmd("set", {{"key", "gain"}, {"value", "0.5"}}))["applies"],
            "after the current cycle");
  const double setAt =
      std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  while (stamp(c.nextSample("count")) < setAt) {
  }
  c.request(cmd("write", {{"port", "in"}, {"sample", {{"data", {{"vx", 4}}}}}}));
  std::optional<json> out = c.nextSample("out");
  ASSERT_TRUE(out);
  EXPECT_EQ((*out)["data"]["vx"], 2.0);
  EXPECT_GE(stamp(out), setAt - 1);
  EXPECT_LT(stamp(out), setAt + 3600);

  // A transition asked for while onExecute runs waits for it; the reply
  // comes when the hook has run.
  c.request(cmd("set", {{"key", "execute_ms"}, {"value", "30"}}));
  c.request(cmd("write", {{"port", "in"}, {"sample", json::object()}}));
  ASSERT_TRUE(c.nextSample("out")) << "a cycle has passed: onExecute takes 30 ms now";
  reply = c.request(cmd("deactivate"));
  EXPECT_EQ(reply["state"], "INACTIVE") << reply;
  EXPECT_GE(lineOf(host.err(), "Probe0: onDeactivated"), 0);
  c.request(cmd("set", {{"key", "execute_ms"}, {"value", "1"}}));

  // The error state: entered from a failed activation and from a failed
  // onExecute, with onAborting each time; only a reset leaves it.
  c.request(cmd("set", {{"key", "fail_activation"}, {"value", true}}));
  reply = c.request(cmd("activate"));
  EXPECT_EQ(reply["state"], "ERROR") << reply;
  EXPECT_EQ(reply["result"], "RTC_ERROR");
  EXPECT_THAT(reply.value("error", ""), HasSubstr("onActivated returned RTC_ERROR"));
  EXPECT_EQ(countOf(host.err(), "Probe0: onAborting\n"), 1);
  EXPECT_TRUE(host.waitForErr("Probe0: onError"));
  for (const char* refused : {"activate", "deactivate"}) {
    reply = c.request(cmd(refused));
    EXPECT_EQ(reply["result"], "PRECONDITION_NOT_MET") << reply;
    EXPECT_EQ(reply["state"], "ERROR");
  }
  c.request(cmd("set", {{"key", "fail_activation"}, {"value", false}}));
  c.request(cmd("set", {{"key", "fail_execute"}, {"value", true}}));
  EXPECT_EQ(c.request(cmd("reset"))["state"], "INACTIVE");
  EXPECT_EQ(c.request(cmd("activate"))["state"], "ACTIVE");
  EXPECT_TRUE(eventually([&] { return countOf(host.err(), "Probe0: onError\n") == 2; }));
  EXPECT_EQ(c.request(cmd("list"))["components"][0]["state"], "ERROR")
      << "onExecute returned RTC_ERROR";
  EXPECT_EQ(countOf(host.err(), "Probe0: onAborting\n"), 2);
  c.request(cmd("set", {{"key", "fail_execute"}, {"value", false}}));
  EXPECT_EQ(c.request(cmd("reset"))["state"], "INACTIVE");
  EXPECT_EQ(c.request(cmd("activate"))["state"], "ACTIVE");

  // Twenty clients ask and watch as fast as they can, one stops reading
  // 12 kB samples: all keep being served, and the silent one loses samples.
  c.request(cmd("set", {{"key", "blob_size"}, {"value", 2000}}));
  tolvarine_control::Client slow;  // reads only when asked to
  ASSERT_TRUE(slow.connect(socket, kPatience, nullptr) &&
              slow.request(cmd("subscribe", {{"ports", "blob"}}), reply, kPatience, nullptr));
  constexpr int kClients = 20;
  std::vector<std::atomic<int>> rounds(kClients);
  std::atomic<bool> stop{false};
  std::vector<std::thread> clients;
  for (int i = 0; i < kClients; ++i) {
    clients.emplace_back([&, i] {
      try {
        ControlClient busy(socket);
        busy.request(cmd("subscribe", {{"ports", {"count", "out"}}}));
        while (!stop && busy.tryRequest(cmd("list")) && busy.nextSample("count")) {
          ++rounds[i];
        }
      } catch (const std::exception&) {
        // The host has gone; the checks below tell whether too early.
      }
    });
  }
  const auto busyUntil = std::chrono::steady_clock::now() + 1500ms;
  for (int check = 0; check < 3 || std::chrono::steady_clock::now() < busyUntil; ++check) {
    std::vector<int> seen(rounds.begin(), rounds.end());
    EXPECT_TRUE(eventually([&] {
      return std::equal(seen.begin(), seen.end(), rounds.begin(), std::not_equal_to<>());
    })) << "a client got no reply or no sample";
  }
  bool told = false;
  json event;
  for (int i = 0; i < 500 && !told; ++i) {
    ASSERT_EQ(slow.nextEvent(event, kPatience), tolvarine_control::Client::Read::kLine);
    told = event.value("event", "") == "dropped" && event.value("samples", 0) > 0;
  }
  EXPECT_TRUE(told) << "the silent client is told how many samples it lost";
  do {
    ASSERT_EQ(slow.nextEvent(event, kPatience), tolvarine_control::Client::Read::kLine);
  } while (event.value("port", "") != "blob");
  EXPECT_EQ(event["sample"]["data"].size(), 2000u) << "then new ones";

  const auto signalled = std::chrono::steady_clock::now();
  host.signal(SIGINT);
  EXPECT_EQ(host.wait(), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - signalled, 5s * TOLVARINE_TEST_TIME_SCALE);
  stop = true;
  for (std::thread& t : clients) {
    t.join();
  }
  const std::string err = host.err();
  expectInOrder(
      err, {"rtm-standin: received SIGINT", "Probe0: exit", "Probe0: onDeactivated",
            "Probe0: onFinalize", "rtm-standin: closed the control socket", "Probe0: deleted"});
  EXPECT_EQ(countOf(err, "VIOLATION"), 0) << err;
  EXPECT_EQ(modeOf(socket), 0u) << "the socket file is removed";
  ASSERT_TRUE(eventually([&] { return c.closed(); }));
  EXPECT_EQ(c.events().back().body, (json{{"event", "shutdown"}}))
      << "the last line before the host closes";
}

struct Ctl {
  int status;
  std::string out, err;
};

Ctl ctl(const TempDir& dir, std::vector<std::string> args) {
  static int runs = 0;
  args.insert(args.begin(), STANDIN_CTL);
  TestProcess p(args, dir.path(), "ctl" + std::to_string(++runs));
  return {p.wait().value_or(-1), p.out(), p.err()};
}

TEST(Host, StartupFailuresAndTheShutdownRequest) {
  TempDir dir;
  dir.write("notes.sock", "keep me\n");
  for (const auto& [args, status, message] :
       std::vector<std::tuple<std::vector<std::string>, int, std::string>>{
           {{"-o", "no colon"}, 2, "option -o expects \"key: value\""},
           {{"-o", "manager.standin.control_socket: notes.sock"}, 1, "exists and is not a socket"},
           // The component's own configuration: the process ends as it would
           // for an error in its command line.
           {{"-o", "Test.Probe.config_file: absent.conf"},
            2,
            "cannot create \"Probe\": cannot read configuration file"},
           {{"-o", "Test.Probe.config_file: /dev/zero"}, 2, "it is a character device"},
           {{"-o", "Test.Probe.exec_cxt.periodic.rate: nan"}, 2, "got \"nan\""},
           {{"--help"}, 0, ""}}) {
    SCOPED_TRACE(message);
    std::vector<std::string> argv{STANDIN_PROBE_HOST};
    argv.insert(argv.end(), args.begin(), args.end());
    TestProcess host(argv, dir.path(), "host");
    EXPECT_EQ(host.wait(), status);
    EXPECT_THAT(host.err(), HasSubstr(message));
    if (status != 1) {
      EXPECT_EQ(countOf(host.err(), "onInitialize"), 0) << "nothing was started";
    }
  }
  EXPECT_EQ(dir.read("notes.sock"), "keep me\n");
  EXPECT_EQ(dir.read("host.out").substr(0, 7), "Usage: ");

  // A host killed leaves its socket file behind: the next one replaces it.
  TestProcess dead({STANDIN_PROBE_HOST}, dir.path(), "dead");
  ASSERT_TRUE(waitForSocket(dir.file("Probe0.sock"))) << dead.err();
  dead.signal(SIGKILL);
  ASSERT_TRUE(dead.wait());
  TestProcess host({STANDIN_PROBE_HOST, "-o", "manager.components.preactivation: Probe0"},
                   dir.path(), "host");
  ASSERT_TRUE(host.waitForErr("Probe0: onActivated")) << host.err();
  EXPECT_THAT(host.err(), HasSubstr("rtm-standin: replaced the stale control socket"));
  const Ctl list = ctl(dir, {"-s", dir.file("Probe0.sock"), "list"});
  EXPECT_THAT(list.out, HasSubstr("Probe0  ACTIVE  1000 Hz  (Test / Probe)")) << list.err;
  const Ctl gone = ctl(dir, {"-s", dir.file("gone.sock"), "list"});
  EXPECT_EQ(gone.status, 3);
  EXPECT_THAT(gone.err, HasSubstr("cannot connect to"));
  EXPECT_EQ(ctl(dir, {"-s", dir.file("Probe0.sock"), "shutdown"}).status, 0);
  EXPECT_EQ(host.wait(), 0);
  expectInOrder(host.err(), {"Probe0: onDeactivated", "rtm-standin: closed the control socket",
                             "Probe0: deleted"});
}

}  // namespace
