// The control socket end to end, against a component process (the probe
// host): requests and replies, transitions, parameters, samples in and out,
// several clients, a client that stops reading, and the socket file itself.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "test_support.h"

namespace {

using namespace std::chrono_literals;
using standin_test::ControlClient;
using standin_test::json;
using standin_test::Process;
using standin_test::TempDir;
using ::testing::HasSubstr;

constexpr auto kStartup = 60s;
constexpr auto kExit = 60s;

class ProbeHost {
 public:
  explicit ProbeHost(std::vector<std::string> extra = {}, const std::string& rate = "200") {
    socket = dir.file("probe.sock");
    std::vector<std::string> argv{STANDIN_PROBE_HOST, "-o",
                                  "manager.standin.control_socket: " + socket, "-o",
                                  "exec_cxt.periodic.rate: " + rate};
    argv.insert(argv.end(), extra.begin(), extra.end());
    process = std::make_unique<Process>(argv, dir.path());
  }

  ~ProbeHost() {
    process->signal(SIGTERM);
    process->wait(kExit);
  }

  bool ready() { return standin_test::waitForSocket(socket, kStartup); }

  TempDir dir;
  std::string socket;
  std::unique_ptr<Process> process;
};

json cmd(const char* name) {
  return json{{"cmd", name}};
}

// The next sample event of `port`, skipping others.
std::optional<json> nextSample(ControlClient& client, const std::string& port,
                               std::chrono::milliseconds timeout = 30s) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    std::optional<json> event =
        client.nextEvent(std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now()));
    if (event && event->value("event", "") == "sample" && event->value("port", "") == port) {
      return event;
    }
  }
  return std::nullopt;
}

TEST(ControlSocket, IsOwnerOnlyAndRemovedAtShutdown) {
  ProbeHost host;
  ASSERT_TRUE(host.ready()) << host.process->err();
  struct stat st;
  ASSERT_EQ(::stat(host.socket.c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  host.process->signal(SIGTERM);
  EXPECT_EQ(host.process->wait(kExit), 0) << host.process->err();
  EXPECT_NE(::stat(host.socket.c_str(), &st), 0);
}

TEST(ControlProtocol, ListShowsComponentsStatesAndPorts) {
  ProbeHost host;
  ASSERT_TRUE(host.ready()) << host.process->err();
  ControlClient client(host.socket);
  json reply = client.request(cmd("list"));
  ASSERT_TRUE(reply.value("ok", false)) << reply.dump();
  ASSERT_EQ(reply["components"].size(), 1u);
  const json& c = reply["components"][0];
  EXPECT_EQ(c["instance"], "Probe0");
  EXPECT_EQ(c["type"], "Probe");
  EXPECT_EQ(c["category"], "Test");
  EXPECT_EQ(c["state"], "INACTIVE");
  EXPECT_DOUBLE_EQ(c["rate"].get<double>(), 200);
  EXPECT_EQ(c["ports"].dump(), json::parse(R"([
      {"name":"in","direction":"in","type":"TimedDouble","id":"IDL:RTC/TimedDouble:1.0"},
      {"name":"out","direction":"out","type":"TimedDouble","id":"IDL:RTC/TimedDouble:1.0"},
      {"name":"count","direction":"out","type":"TimedLong","id":"IDL:RTC/TimedLong:1.0"},
      {"name":"blob","direction":"out","type":"TimedDoubleSeq","id":"IDL:RTC/TimedDoubleSeq:1.0"}
    ])")
                                   .dump());
  EXPECT_EQ(client.request(json{{"cmd", "help"}})["commands"].size(), 9u);
}

TEST(ControlProtocol, TransitionsReplyAfterTheyTookPlace) {
  ProbeHost host;
  ASSERT_TRUE(host.ready()) << host.process->err();
  ControlClient client(host.socket);

  json reply = client.request(cmd("activate"));
  EXPECT_TRUE(reply.value("ok", false)) << reply.dump();
  EXPECT_EQ(reply["state"], "ACTIVE");
  EXPECT_EQ(reply["result"], "RTC_OK");
  EXPECT_EQ(reply["component"], "Probe0");
  EXPECT_TRUE(host.process->waitForErr("Probe: onActivated gain=1 label=probe", 10s));

  reply = client.request(cmd("activate"));
  EXPECT_FALSE(reply.value("ok", true));
  EXPECT_EQ(reply["result"], "PRECONDITION_NOT_MET");
  EXPECT_THAT(reply.value("error", ""), HasSubstr("it is ACTIVE, not INACTIVE"));

  reply = client.request(cmd("deactivate"));
  EXPECT_TRUE(reply.value("ok", false)) << reply.dump();
  EXPECT_EQ(reply["state"], "INACTIVE");
  EXPECT_FALSE(client.request(cmd("reset")).value("ok", true));

  // A failing activation leaves the error state; fixing the parameter,
  // resetting and activating again works.
  json set = cmd("set");
  set["key"] = "fail_activation";
  set["value"] = "true";
  EXPECT_TRUE(client.request(set).value("ok", false));
  reply = client.request(cmd("activate"));
  EXPECT_FALSE(reply.value("ok", true));
  EXPECT_EQ(reply["state"], "ERROR");
  EXPECT_EQ(reply["result"], "RTC_ERROR");
  EXPECT_THAT(reply.value("error", ""), HasSubstr("onActivated returned RTC_ERROR"));
  EXPECT_EQ(client.request(cmd("list"))["components"][0]["state"], "ERROR");
  set["value"] = false;
  EXPECT_TRUE(client.request(set).value("ok", false));
  reply = client.request(cmd("reset"));
  EXPECT_EQ(reply["state"], "INACTIVE") << reply.dump();
  reply = client.request(cmd("activate"));
  EXPECT_EQ(reply["state"], "ACTIVE") << reply.dump();
}

TEST(ControlProtocol, GetAndSetParameters) {
  ProbeHost host;
  ASSERT_TRUE(host.ready()) << host.process->err();
  ControlClient client(host.socket);
  json reply = client.request(cmd("get"));
  EXPECT_EQ(reply["config"].dump(),
            R"({"gain":"1","fail_activation":"false","blob_size":"0","label":"probe"})");
  json get = cmd("get");
  get["key"] = "label";
  EXPECT_EQ(client.request(get)["value"], "probe");
  get["key"] = "nothing";
  EXPECT_THAT(client.request(get).value("error", ""), HasSubstr("no parameter 'nothing'"));

  json set = cmd("set");
  set["key"] = "gain";
  set["value"] = "abc";
  EXPECT_THAT(client.request(set).value("error", ""),
              HasSubstr("'abc' is not a valid value for gain"));
  set["key"] = "gian";
  set["value"] = "2";
  EXPECT_THAT(client.request(set).value("error", ""), HasSubstr("no parameter 'gian'"));
  set["key"] = "gain";
  set["value"] = 3;
  reply = client.request(set);
  EXPECT_EQ(reply["value"], "3");
  EXPECT_EQ(reply["applies"], "at the next activation");
  get["key"] = "gain";
  EXPECT_EQ(client.request(get)["value"], "3");

  EXPECT_TRUE(client.request(cmd("activate")).value("ok", false));
  EXPECT_TRUE(host.process->waitForErr("Probe: onActivated gain=3", 10s));

  json subscribe = cmd("subscribe");
  subscribe["ports"] = json::array({"out", "count"});
  EXPECT_TRUE(client.request(subscribe).value("ok", false));
  set["value"] = "0.5";
  reply = client.request(set);
  EXPECT_EQ(reply["applies"], "after the current cycle");
  // A cycle that was under way still has the old gain; two cycles later the
  // new one holds for sure.
  ASSERT_TRUE(nextSample(client, "count"));
  ASSERT_TRUE(nextSample(client, "count"));
  json write = cmd("write");
  write["port"] = "in";
  write["sample"] = json{{"data", 4}};
  EXPECT_TRUE(client.request(write).value("ok", false));
  std::optional<json> sample = nextSample(client, "out");
  ASSERT_TRUE(sample);
  EXPECT_DOUBLE_EQ((*sample)["sample"]["data"].get<double>(), 2.0);
}

TEST(ControlProtocol, WriteAndSubscribe) {
  ProbeHost host;
  ASSERT_TRUE(host.ready()) << host.process->err();
  ControlClient client(host.socket);
  json subscribe = cmd("subscribe");
  subscribe["ports"] = json::array({"out", "Probe0.count"});
  json reply = client.request(subscribe);
  EXPECT_EQ(reply["subscribed"].dump(), R"(["Probe0.out","Probe0.count"])");
  EXPECT_TRUE(client.request(cmd("activate")).value("ok", false));

  json write = cmd("write");
  write["port"] = "in";
  write["sample"] = json::parse(R"({"tm":{"sec":7,"nsec":8},"data":2.5})");
  reply = client.request(write);
  EXPECT_TRUE(reply.value("ok", false)) << reply.dump();
  EXPECT_EQ(reply["port"], "Probe0.in");
  std::optional<json> out = nextSample(client, "out");
  ASSERT_TRUE(out);
  EXPECT_EQ(
      out->dump(),
      R"({"event":"sample","component":"Probe0","port":"out","sample":{"tm":{"sec":7,"nsec":8},"data":2.5}})");

  // Every cycle writes "count": consecutive numbers.
  std::optional<json> a = nextSample(client, "count");
  std::optional<json> b = nextSample(client, "count");
  ASSERT_TRUE(a && b);
  EXPECT_EQ((*b)["sample"]["data"].get<long>(), (*a)["sample"]["data"].get<long>() + 1);

  json unsubscribe = cmd("unsubscribe");
  unsubscribe["ports"] = "count";
  EXPECT_EQ(client.request(unsubscribe)["unsubscribed"].dump(), R"(["Probe0.count"])");
  // Samples queued before the reply are old news; after it none arrive.
  client.clearEvents();
  while (std::optional<json> late = client.nextEvent(300ms)) {
    EXPECT_NE(late->value("port", ""), "count") << late->dump();
  }

  // Mistakes get an error reply naming what is wrong.
  write["port"] = "out";
  EXPECT_THAT(client.request(write).value("error", ""), HasSubstr("\"out\" is an out-port"));
  write["port"] = "nowhere";
  EXPECT_THAT(client.request(write).value("error", ""),
              HasSubstr("no in-port named \"nowhere\" (in-ports: Probe0.in)"));
  write["port"] = "in";
  write["sample"] = json::parse(R"({"dta":1})");
  EXPECT_THAT(client.request(write).value("error", ""), HasSubstr("no field 'dta'"));
  write.erase("sample");
  EXPECT_THAT(client.request(write).value("error", ""), HasSubstr("missing \"sample\""));
  subscribe["ports"] = json::array({"in"});
  EXPECT_THAT(client.request(subscribe).value("error", ""), HasSubstr("is an in-port"));
}

TEST(ControlProtocol, MalformedRequestsKeepTheConnectionUsable) {
  ProbeHost host;
  ASSERT_TRUE(host.ready()) << host.process->err();
  ControlClient client(host.socket);
  auto nextError = [&]() -> std::string {
    std::optional<json> reply = client.nextLine(30s);
    if (!reply || reply->value("ok", true)) {
      return "no error reply";
    }
    return reply->value("error", "");
  };
  client.sendLine("this is not json");
  EXPECT_THAT(nextError(), HasSubstr("malformed JSON"));
  client.sendLine("[1, 2]");
  EXPECT_THAT(nextError(), HasSubstr("a request is a JSON object"));
  client.sendLine(R"({"cmd":"fly"})");
  EXPECT_THAT(nextError(), HasSubstr("unknown command \"fly\""));
  client.sendLine(R"({"nocmd":1})");
  EXPECT_THAT(nextError(), HasSubstr("missing \"cmd\""));
  client.sendLine(R"({"cmd":"get","key":5})");
  EXPECT_THAT(nextError(), HasSubstr("\"key\" must be a string"));
  client.sendLine(R"({"cmd":"activate","component":"Nobody"})");
  EXPECT_THAT(nextError(), HasSubstr("no component named \"Nobody\" (components: Probe0)"));
  client.sendLine(std::string(1100 * 1024, 'x'));
  EXPECT_THAT(nextError(), HasSubstr("request longer than"));
  client.sendLine("");  // blank lines are ignored
  json reply = client.request(cmd("list"));
  EXPECT_TRUE(reply.value("ok", false)) << reply.dump();
  EXPECT_EQ(reply["id"], 1) << "the id comes back";
}

TEST(ControlProtocol, TwoClientsAtOnce) {
  ProbeHost host;
  ASSERT_TRUE(host.ready()) << host.process->err();
  ControlClient a(host.socket);
  ControlClient b(host.socket);
  json subscribe = cmd("subscribe");
  subscribe["ports"] = "out";
  EXPECT_TRUE(a.request(subscribe).value("ok", false));
  EXPECT_TRUE(b.request(subscribe).value("ok", false));
  EXPECT_TRUE(a.request(cmd("activate")).value("ok", false));
  EXPECT_EQ(b.request(cmd("list"))["components"][0]["state"], "ACTIVE");
  for (double value : {1.0, 2.0, 3.0}) {
    json write = cmd("write");
    write["port"] = "in";
    write["sample"] = json{{"data", value}};
    EXPECT_TRUE((value == 2.0 ? b : a).request(write).value("ok", false));
  }
  for (ControlClient* client : {&a, &b}) {
    std::vector<double> seen;
    for (int i = 0; i < 3; ++i) {
      std::optional<json> sample = nextSample(*client, "out");
      ASSERT_TRUE(sample);
      seen.push_back((*sample)["sample"]["data"].get<double>());
    }
    EXPECT_EQ(seen, (std::vector<double>{1, 2, 3}));
  }
}

TEST(ControlProtocol, ClientThatStopsReadingNeverBlocksTheCycle) {
  ProbeHost host({"-o", "Test.Probe.conf.default.blob_size: 2000"});
  ASSERT_TRUE(host.ready()) << host.process->err();
  ControlClient slow(host.socket);
  ControlClient watcher(host.socket);
  json subscribe = cmd("subscribe");
  subscribe["ports"] = "blob";  // some 15 kB per sample, 200 samples a second
  EXPECT_TRUE(slow.request(subscribe).value("ok", false));
  subscribe["ports"] = "count";
  EXPECT_TRUE(watcher.request(subscribe).value("ok", false));
  EXPECT_TRUE(watcher.request(cmd("activate")).value("ok", false));

  // The slow client reads nothing for 3 s: its socket and queue fill within
  // some 35 cycles. The watcher sees the cycles go on.
  std::optional<json> first = nextSample(watcher, "count");
  ASSERT_TRUE(first);
  const auto start = std::chrono::steady_clock::now();
  std::optional<json> last = first;
  while (std::chrono::steady_clock::now() - start < 3s) {
    std::optional<json> sample = nextSample(watcher, "count", 5s);
    ASSERT_TRUE(sample) << "the cycle stalled";
    last = sample;
  }
  const long cycles =
      (*last)["sample"]["data"].get<long>() - (*first)["sample"]["data"].get<long>();
  std::cout << "cycles in 3 s while a client stopped reading: " << cycles << std::endl;
  EXPECT_GE(cycles, 100) << "600 expected at 200 Hz";

  // Once it reads again it learns how many samples it lost, then gets new ones.
  bool noticed = false;
  unsigned long lost = 0;
  for (int i = 0; i < 100000 && !noticed; ++i) {
    std::optional<json> event = slow.nextEvent(30s);
    ASSERT_TRUE(event);
    if (event->value("event", "") == "dropped") {
      noticed = true;
      lost = event->value("samples", 0UL);
    }
  }
  EXPECT_TRUE(noticed);
  EXPECT_GT(lost, 0u);
  std::optional<json> fresh = nextSample(slow, "blob");
  ASSERT_TRUE(fresh);
  EXPECT_EQ((*fresh)["sample"]["data"].size(), 2000u);
  EXPECT_TRUE(slow.request(cmd("list")).value("ok", false));
}

TEST(ControlProtocol, ShutdownRequest) {
  ProbeHost host({"-o", "manager.components.preactivation: Probe0"});
  ASSERT_TRUE(host.ready()) << host.process->err();
  ControlClient watcher(host.socket);
  json subscribe = cmd("subscribe");
  subscribe["ports"] = "count";
  EXPECT_TRUE(watcher.request(subscribe).value("ok", false));
  ControlClient client(host.socket);
  EXPECT_TRUE(client.request(cmd("shutdown")).value("ok", false));
  bool told = false;
  while (std::optional<json> event = watcher.nextEvent(30s)) {
    if (event->value("event", "") == "shutdown") {
      told = true;
      break;
    }
  }
  EXPECT_TRUE(told);
  EXPECT_TRUE(watcher.closedByHost(30s));
  EXPECT_EQ(host.process->wait(kExit), 0) << host.process->err();
  const std::string err = host.process->err();
  EXPECT_LT(standin_test::lineIndex(err, "Probe: onDeactivated"),
            standin_test::lineIndex(err, "Probe: onFinalize"));
  EXPECT_LT(standin_test::lineIndex(err, "Probe: onFinalize"),
            standin_test::lineIndex(err, "Probe: deleted"));
  struct stat st;
  EXPECT_NE(::stat(host.socket.c_str(), &st), 0);
}

TEST(ControlSocket, RefusesThePathOfARunningHost) {
  ProbeHost first;
  ASSERT_TRUE(first.ready()) << first.process->err();
  Process second({STANDIN_PROBE_HOST, "-o", "manager.standin.control_socket: " + first.socket},
                 first.dir.path());
  EXPECT_EQ(second.wait(kExit), 1);
  EXPECT_THAT(second.err(), HasSubstr("is in use by a running host"));
  EXPECT_THAT(second.err(), HasSubstr("Probe: deleted")) << "what it created is cleaned up";
  ControlClient client(first.socket);
  EXPECT_TRUE(client.request(cmd("list")).value("ok", false)) << "the first host is unaffected";
}

TEST(ControlSocket, ReplacesAStaleSocketFile) {
  TempDir dir;
  const std::string path = dir.file("stale.sock");
  {
    // A socket file whose host is gone: bound, never removed.
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ::close(fd);
  }
  Process host({STANDIN_PROBE_HOST, "-o", "manager.standin.control_socket: " + path}, dir.path());
  ASSERT_TRUE(standin_test::waitForSocket(path, kStartup)) << host.err();
  EXPECT_TRUE(host.waitForErr("replaced the stale control socket " + path, 10s));
  host.signal(SIGINT);
  EXPECT_EQ(host.wait(kExit), 0) << host.err();
}

TEST(ControlSocket, RefusesAPathThatIsNotASocket) {
  TempDir dir;
  dir.write("notes.sock", "keep me\n");
  Process host(
      {STANDIN_PROBE_HOST, "-o", "manager.standin.control_socket: " + dir.file("notes.sock")},
      dir.path());
  EXPECT_EQ(host.wait(kExit), 1);
  EXPECT_THAT(host.err(), HasSubstr("exists and is not a socket"));
  struct stat st;
  ASSERT_EQ(::stat(dir.file("notes.sock").c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode)) << "the file is left alone";
}

TEST(ControlSocket, DefaultPathIsNamedAfterTheFirstComponent) {
  TempDir dir;
  Process host({STANDIN_PROBE_HOST}, dir.path());
  ASSERT_TRUE(standin_test::waitForSocket(dir.file("Probe0.sock"), kStartup)) << host.err();
  EXPECT_TRUE(host.waitForErr("control socket ./Probe0.sock", 10s));
  host.signal(SIGINT);
  EXPECT_EQ(host.wait(kExit), 0) << host.err();
}

}  // namespace
