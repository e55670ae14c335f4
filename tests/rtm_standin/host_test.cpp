// The host end to end: probe component processes driven through the control
// socket and rtm-standin-ctl, from their configuration to the shutdown on a
// signal. The probe reports its hooks on standard error (see probe_host.cpp).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <csignal>
#include <string>
#include <thread>
#include <vector>

#include <sys/stat.h>

#include "support.h"

namespace {

using namespace standin_test;
using ::testing::HasSubstr;

json cmd(const char* name, json fields = json::object()) {
  fields["cmd"] = name;
  return fields;
}

int count(const std::string& text, const std::string& needle) {
  int n = 0;
  for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
    ++n;
  }
  return n;
}

// Each step of a shutdown must be found after the one before it.
void expectInOrder(const std::string& err, const std::vector<std::string>& steps) {
  int at = 0;
  for (const std::string& step : steps) {
    at = lineOf(err, step, at);
    EXPECT_GE(at, 0) << "\"" << step << "\" missing or out of order in\n" << err;
  }
}

bool isSocket(const std::string& path, unsigned* mode = nullptr) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    return false;
  }
  if (mode != nullptr) {
    *mode = st.st_mode & 0777;
  }
  return S_ISSOCK(st.st_mode);
}

// Requests the whole component's life goes through, and a SIGINT amid
// twenty busy clients and one that stopped reading.
TEST(Host, ControlSessionEndedBySigint) {
  TempDir dir;
  const std::string socket = dir.file("ctl.sock");
  dir.write("probe.conf", "conf.default.gain: 2\nexec_cxt.periodic.rate: 100\n");
  dir.write("manager.conf",
            "exec_cxt.periodic.rate: 10\n"
            "manager.standin.control_socket: " +
                socket +
                "\n"
                "Test.Probe.config_file: probe.conf\n"
                "Test.Probe.conf.default.execute_ms: \\\n  7\n");
  Process host(
      {STANDIN_PROBE_HOST, "-f", "manager.conf", "-o", "Test.Probe.conf.default.execute_ms: 1"},
      dir, "host");
  ASSERT_TRUE(waitForSocket(socket)) << host.err();
  unsigned mode = 0;
  EXPECT_TRUE(isSocket(socket, &mode));
  EXPECT_EQ(mode, 0600u);
  {
    Process second({STANDIN_PROBE_HOST, "-o", "manager.standin.control_socket: " + socket}, dir,
                   "second");
    EXPECT_EQ(second.wait(), 1);
    EXPECT_THAT(second.err(), HasSubstr("is in use by a running host"));
    EXPECT_THAT(second.err(), HasSubstr("Probe0: deleted")) << "what it made is cleaned up";
  }

  ControlClient c(socket);
  const auto port = [](const char* name, const char* direction, const char* type,
                       const char* module) {
    return json{{"name", name},
                {"direction", direction},
                {"type", type},
                {"id", std::string("IDL:") + module + "/" + type + ":1.0"}};
  };
  json list = c.request(cmd("list"));
  EXPECT_EQ(list["components"],
            json::array({{{"instance", "Probe0"},
                          {"type", "Probe"},
                          {"category", "Test"},
                          {"state", "INACTIVE"},
                          {"rate", 100.0},
                          {"ports",
                           {port("in", "in", "TimedVelocityWithLists", "StandinTest"),
                            port("out", "out", "TimedVelocityWithLists", "StandinTest"),
                            port("count", "out", "TimedLong", "RTC"),
                            port("blob", "out", "TimedDoubleSeq", "RTC")}}}}))
      << "the component file's rate beats the manager's";
  EXPECT_EQ(c.request(cmd("get"))["config"], (json{{"gain", "2"},
                                                   {"fail_activation", "false"},
                                                   {"fail_execute", "false"},
                                                   {"execute_ms", "1"},
                                                   {"blob_size", "0"}}))
      << "profile, then the component file, then the manager's file, then -o";

  const std::vector<std::pair<std::string, std::string>> mistakes{
      {"this is not json", "malformed JSON"},
      {"[1, 2]", "a request is a JSON object"},
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
      {R"({"cmd":"write","port":"in","sample":{"dta":1}})", "no field 'dta'"},
      {R"({"cmd":"write","port":"in"})", "missing \"sample\""},
      {R"({"cmd":"subscribe","ports":["in"]})", "is an in-port"},
      {R"({"cmd":"reset"})", "cannot reset Probe0: it is INACTIVE, not ERROR"},
      {R"({"cmd":"deactivate"})", "cannot deactivate Probe0: it is INACTIVE, not ACTIVE"},
      {std::string(1100 * 1024, 'x'), "request longer than"}};
  for (const auto& [line, message] : mistakes) {
    SCOPED_TRACE(line.substr(0, 60));
    c.sendLine(line);
    std::optional<json> reply = c.nextLine();
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
  EXPECT_EQ(reply, (json{{"id", reply["id"]},
                         {"ok", true},
                         {"component", "Probe0"},
                         {"state", "ACTIVE"},
                         {"result", "RTC_OK"}}));
  EXPECT_GE(lineOf(host.err(), "Probe0: onActivated gain=3"), 0) << "refreshed before it";
  reply = c.request(cmd("activate"));
  EXPECT_EQ(reply["result"], "PRECONDITION_NOT_MET");
  EXPECT_THAT(reply.value("error", ""), HasSubstr("it is ACTIVE, not INACTIVE"));

  // Samples in, scaled by the gain, out to both clients in order, with
  // their time stamps and the sequences around the payload.
  for (int k = 1; k <= 3; ++k) {
    json sample{{"tm", {{"sec", k}, {"nsec", 8}}},
                {"id", {k}},
                {"data", {{"vx", k}, {"vy", 0.25}, {"va", -k}}},
                {"error", {0.125}}};
    EXPECT_EQ(c.request(cmd("write", {{"port", "in"}, {"sample", sample}}))["port"], "Probe0.in");
  }
  for (ControlClient* client : {&c, &d}) {
    for (int k = 1; k <= 3; ++k) {
      std::optional<json> out = client->nextSample("out");
      ASSERT_TRUE(out);
      EXPECT_EQ(*out, (json{{"tm", {{"sec", k}, {"nsec", 8}}},
                            {"id", {k}},
                            {"data", {{"vx", 3.0 * k}, {"vy", 0.25}, {"va", -3.0 * k}}},
                            {"error", {0.125}}}));
    }
  }
  // A parameter set while active holds from the next cycle on; a sample
  // without a time stamp gets the current time.
  EXPECT_EQ(c.request(cmd("set", {{"key", "gain"}, {"value", "0.5"}}))["applies"],
            "after the current cycle");
  ASSERT_TRUE(c.nextSample("count") && c.nextSample("count"));
  const double before =
      std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  c.request(cmd("write", {{"port", "in"}, {"sample", {{"data", {{"vx", 4}}}}}}));
  std::optional<json> out = c.nextSample("out");
  ASSERT_TRUE(out);
  EXPECT_EQ((*out)["data"]["vx"], 2.0);
  EXPECT_GE((*out)["tm"]["sec"].get<double>(), std::floor(before) - 1);
  EXPECT_LT((*out)["tm"]["sec"].get<double>(), before + 3600);

  // The cycle counter: consecutive, and at the component's own rate.
  std::optional<json> first = c.nextSample("count");
  std::optional<json> next = c.nextSample("count");
  ASSERT_TRUE(first && next);
  EXPECT_EQ((*next)["data"], (*first)["data"].get<long>() + 1);
  const auto stamp = [](const json& s) {
    return s["tm"]["sec"].get<double>() + s["tm"]["nsec"].get<double>() * 1e-9;
  };
  while (next && stamp(*next) - stamp(*first) < 1.0) {
    next = c.nextSample("count");
  }
  ASSERT_TRUE(next);
  const double seconds = stamp(*next) - stamp(*first);
  const long cycles = (*next)["data"].get<long>() - (*first)["data"].get<long>();
  EXPECT_LE(cycles, 100 * seconds + 2);
  EXPECT_GE(cycles, 100 * seconds / 5) << "10 Hz would be the manager's rate";

  // Unsubscribed, no more samples of that port: two samples in a row
  // through "out" span a whole cycle, which writes "count" as well.
  EXPECT_EQ(c.request(cmd("unsubscribe", {{"ports", "count"}}))["unsubscribed"],
            json::array({"Probe0.count"}));
  c.forgetEvents();
  for (int k : {5, 6}) {
    c.request(cmd("write", {{"port", "in"}, {"sample", {{"data", {{"vx", k}}}}}}));
    while (std::optional<json> event = c.nextEvent()) {
      ASSERT_NE(event->value("port", ""), "count");
      if (event->value("port", "") == "out" && (*event)["sample"]["data"]["vx"] == 0.5 * k) {
        break;
      }
    }
  }

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
  EXPECT_EQ(count(host.err(), "Probe0: onAborting\n"), 1);
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
  EXPECT_TRUE(eventually([&] { return count(host.err(), "Probe0: onError\n") == 2; }));
  EXPECT_EQ(c.request(cmd("list"))["components"][0]["state"], "ERROR")
      << "onExecute returned RTC_ERROR";
  EXPECT_EQ(count(host.err(), "Probe0: onAborting\n"), 2);
  c.request(cmd("set", {{"key", "fail_execute"}, {"value", false}}));
  EXPECT_EQ(c.request(cmd("reset"))["state"], "INACTIVE");
  EXPECT_EQ(c.request(cmd("activate"))["state"], "ACTIVE");

  // Twenty clients ask and watch as fast as they can, one stops reading
  // 12 kB samples: all keep being served, and the silent one loses samples.
  c.request(cmd("set", {{"key", "blob_size"}, {"value", 2000}}));
  ControlClient slow(socket);
  slow.request(cmd("subscribe", {{"ports", "blob"}}));
  constexpr int kClients = 20;
  std::vector<std::atomic<int>> rounds(kClients);
  std::atomic<bool> stop{false};
  std::vector<std::thread> clients;
  for (int i = 0; i < kClients; ++i) {
    clients.emplace_back([&, i] {
      try {
        ControlClient busy(socket);
        busy.request(cmd("subscribe", {{"ports", {"count", "out"}}}));
        while (!stop && busy.request(cmd("list"))["ok"] == true && busy.nextSample("count")) {
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
      for (int i = 0; i < kClients; ++i) {
        if (rounds[i] == seen[i]) {
          return false;
        }
      }
      return true;
    })) << "a client got no reply or no sample";
  }
  bool told = false;
  for (int i = 0; i < 500 && !told; ++i) {
    std::optional<json> event = slow.nextEvent();
    ASSERT_TRUE(event);
    told = event->value("event", "") == "dropped" && event->value("samples", 0) > 0;
  }
  EXPECT_TRUE(told) << "the silent client is told how many samples it lost";
  std::optional<json> blob = slow.nextSample("blob");
  ASSERT_TRUE(blob);
  EXPECT_EQ((*blob)["data"].size(), 2000u);

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
  EXPECT_EQ(count(err, "VIOLATION"), 0) << err;
  EXPECT_FALSE(isSocket(socket)) << "the socket file is removed";
  std::optional<json> last;
  while (std::optional<json> event = c.nextLine()) {
    last = event;
  }
  EXPECT_EQ(last, (json{{"event", "shutdown"}})) << "the last line before the host closes";
}

struct Ctl {
  int status = -1;
  std::string out;
  std::string err;
};

Ctl ctl(const TempDir& dir, std::vector<std::string> args) {
  static int runs = 0;
  args.insert(args.begin(), STANDIN_CTL);
  Process p(args, dir, "ctl" + std::to_string(++runs));
  return {p.wait().value_or(-1), p.out(), p.err()};
}

// Two components made by the configuration in ./rtc.conf, driven with
// rtm-standin-ctl, and shut down by SIGTERM in the order of creation.
TEST(Host, TwoComponentsThroughTheClientEndedBySigterm) {
  TempDir dir;
  const std::string socket = dir.file("Probe0.sock");
  {
    // A socket file left by a host that is gone.
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, socket.c_str(), sizeof addr.sun_path - 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ::close(fd);
  }
  dir.write("rtc.conf",
            "exec_cxt.periodic.rate: 50\n"
            "manager.components.precreate: Probe?instance_name=Broken, Probe\n"
            "manager.components.preactivation: Probe1\n");
  Process host({STANDIN_PROBE_HOST}, dir, "host");
  ASSERT_TRUE(host.waitForErr("rtm-standin: control socket ./Probe0.sock")) << host.err();
  EXPECT_THAT(host.err(), HasSubstr("rtm-standin: replaced the stale control socket"));
  expectInOrder(host.err(), {"Broken: onInitialize", "Broken: onFinalize", "Broken: deleted",
                             "Probe1: onInitialize", "Probe1: onActivated"});

  Ctl list = ctl(dir, {"list"});
  EXPECT_EQ(list.status, 0) << list.err;
  expectInOrder(list.out,
                {"Probe0  INACTIVE  50 Hz  (Test / Probe)", "  in   in  TimedVelocityWithLists",
                 "  out  out  TimedVelocityWithLists", "  out  count  TimedLong",
                 "  out  blob  TimedDoubleSeq", "Probe1  ACTIVE  50 Hz  (Test / Probe)"});
  Ctl unnamed = ctl(dir, {"activate"});
  EXPECT_EQ(unnamed.status, 1);
  EXPECT_THAT(unnamed.err, HasSubstr("several components run here (Probe0, Probe1)"));
  EXPECT_EQ(ctl(dir, {"-c", "Probe0", "activate"}).out, "Probe0 ACTIVE\n");
  Ctl again = ctl(dir, {"-c", "Probe0", "activate"});
  EXPECT_EQ(again.status, 1);
  EXPECT_THAT(again.err, HasSubstr("it is ACTIVE, not INACTIVE"));
  EXPECT_EQ(ctl(dir, {"-c", "Probe0", "set", "gain", "2"}).out,
            "Probe0: gain = 2 (after the current cycle)\n");
  EXPECT_EQ(ctl(dir, {"-c", "Probe0", "get", "gain"}).out, "2\n");
  EXPECT_EQ(ctl(dir, {"-c", "Probe0", "set", "gain", "fast"}).status, 1);
  EXPECT_EQ(ctl(dir, {"write", "Probe0.in", "{nope"}).status, 2);
  EXPECT_EQ(ctl(dir, {}).status, 2);
  Ctl gone = ctl(dir, {"-s", dir.file("gone.sock"), "list"});
  EXPECT_EQ(gone.status, 3);
  EXPECT_THAT(gone.err, HasSubstr("cannot connect to"));

  Ctl counted = ctl(dir, {"watch", "-n", "3", "Probe1.count"});
  ASSERT_EQ(counted.status, 0) << counted.err;
  std::istringstream lines(counted.out);
  std::vector<json> samples;
  for (std::string line; std::getline(lines, line);) {
    samples.push_back(json::parse(line));
  }
  ASSERT_EQ(samples.size(), 3u);
  EXPECT_EQ(samples[0]["component"], "Probe1");
  EXPECT_EQ(samples[2]["sample"]["data"], samples[0]["sample"]["data"].get<long>() + 2);

  Process watch({STANDIN_CTL, "watch", "Probe1.count", "Probe0.out"}, dir, "watch");
  ASSERT_TRUE(eventually([&] { return watch.out().find("\"count\"") != std::string::npos; }));
  EXPECT_EQ(ctl(dir, {"write", "Probe0.in", R"({"data":{"vx":1.5}})"}).status, 0);
  EXPECT_TRUE(eventually([&] { return watch.out().find(R"("vx":3.0)") != std::string::npos; }))
      << watch.out();

  host.signal(SIGTERM);
  EXPECT_EQ(host.wait(), 0);
  expectInOrder(
      host.err(),
      {"rtm-standin: received SIGTERM", "Probe0: exit", "Probe0: onDeactivated",
       "Probe0: onFinalize", "Probe1: exit", "Probe1: onDeactivated", "Probe1: onFinalize",
       "rtm-standin: closed the control socket", "Probe0: deleted", "Probe1: deleted"});
  EXPECT_EQ(count(host.err(), "VIOLATION"), 0) << host.err();
  EXPECT_EQ(watch.wait(), 0);
  EXPECT_THAT(watch.err(), HasSubstr("the host shut down"));
  EXPECT_FALSE(isSocket(socket));
}

TEST(Host, StartupFailuresAndTheShutdownRequest) {
  TempDir dir;
  dir.write("notes.sock", "keep me\n");
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string message;
  };
  for (const Case& c : std::vector<Case>{
           {{"-o", "no colon"}, 2, "option -o expects \"key: value\""},
           {{"-q"}, 2, "unknown option -q"},
           {{"-o", "exec_cxt.periodic.rate: zero"}, 2, "positive number of Hz"},
           {{"-o", "manager.standin.control_socket: notes.sock"}, 1, "exists and is not a socket"},
           {{"-o", "Test.Probe.config_file: absent.conf"},
            128 + SIGABRT,
            "cannot create \"Probe\": cannot read configuration file"},
           {{"--help"}, 0, ""}}) {
    SCOPED_TRACE(c.message);
    std::vector<std::string> argv{STANDIN_PROBE_HOST};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    Process host(argv, dir, "host");
    EXPECT_EQ(host.wait(), c.status);
    EXPECT_THAT(host.err(), HasSubstr(c.message));
    if (c.status != 1) {
      EXPECT_EQ(count(host.err(), "onInitialize"), 0) << "nothing was started";
    }
  }
  EXPECT_EQ(dir.read("notes.sock"), "keep me\n");
  EXPECT_EQ(dir.read("host.out").substr(0, 7), "Usage: ");

  Process host({STANDIN_PROBE_HOST, "-o", "manager.components.preactivation: Probe0"}, dir, "host");
  ASSERT_TRUE(waitForSocket(dir.file("Probe0.sock"))) << host.err();
  EXPECT_EQ(ctl(dir, {"-s", dir.file("Probe0.sock"), "shutdown"}).status, 0);
  EXPECT_EQ(host.wait(), 0);
  expectInOrder(host.err(), {"Probe0: onDeactivated", "rtm-standin: closed the control socket",
                             "Probe0: deleted"});
}

}  // namespace
