// The control-protocol server under the loads a client can put on it: held
// requests, over-long lines, too many clients, no descriptors left.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <tolvarine_control/client.h>
#include <tolvarine_control/server.h>

#include "test_support.h"

namespace {

using namespace std::chrono_literals;
using tolvarine_control::Client;
using tolvarine_control::Json;
using tolvarine_control::Request;
using tolvarine_control::Server;
using tolvarine_control::ServerLimits;
using Read = Client::Read;

constexpr auto kPatience = std::chrono::milliseconds(20000 * TOLVARINE_TEST_TIME_SCALE);

// Echoes "n"; "hold" is answered only when the test says so, "fail" refused.
class Handler : public tolvarine_control::RequestHandler {
 public:
  void handle(const Request& r) override {
    if (r.command() == "hold") {
      std::lock_guard<std::mutex> lock(mutex);
      held.push_back(r);
    } else if (r.command() == "fail") {
      throw tolvarine_control::RequestError("refused on purpose");
    } else {
      r.succeed({{"n", r.body().value("n", 0)}});
    }
  }
  std::mutex mutex;
  std::vector<Request> held;
};

class ServerTest : public ::testing::Test {
 protected:
  void start(const ServerLimits& limits) {
    server.reset(new Server(handler, limits));
    server->listen(path);
  }
  void TearDown() override { server.reset(); }

  // The next line, or null when none came.
  static Json next(Client& c, std::chrono::milliseconds timeout = kPatience) {
    Json line;
    return c.nextLine(line, timeout) == Read::kLine ? line : Json();
  }
  void connect(Client& c) {
    std::string error;
    ASSERT_TRUE(c.connect(path, kPatience, &error)) << error;
  }

  const std::string path = "/tmp/control-test-" + std::to_string(::getpid()) + ".sock";
  Handler handler;
  std::unique_ptr<Server> server;
};

TEST_F(ServerTest, RepliesComeInOrderAndAHeldRequestHoldsOnlyItsClient) {
  start(ServerLimits());
  Client a, b;
  connect(a);
  connect(b);
  ASSERT_TRUE(a.sendLine(R"({"cmd":"hold","id":1})"
                         "\n"
                         R"({"cmd":"echo","id":2,"n":7})"));
  EXPECT_TRUE(next(a, 300ms).is_null()) << "the echo waits for the held request";
  Json reply;
  ASSERT_TRUE(b.request({{"cmd", "echo"}, {"n", 3}}, reply, kPatience, nullptr));
  EXPECT_EQ(reply.value("n", 0), 3) << "another client is served meanwhile";
  // A "cmd" that is no text is the server's to judge, not the client's.
  ASSERT_TRUE(b.request({{"cmd", 3}, {"n", 5}}, reply, kPatience, nullptr));
  EXPECT_EQ(reply.value("n", 0), 5);

  ASSERT_EQ(handler.held.size(), 1u);
  std::thread([r = handler.held[0]] { r.succeed({{"late", true}}); }).join();
  EXPECT_EQ(next(a), (Json{{"id", 1}, {"ok", true}, {"late", true}}));
  EXPECT_EQ(next(a), (Json{{"id", 2}, {"ok", true}, {"n", 7}}));
  handler.held[0].fail("a second answer is dropped");

  ASSERT_TRUE(a.sendLine(R"({"cmd":"fail","id":"x"})"
                         "\n"
                         "not json"
                         "\n"
                         "[1]"
                         "\n"
                         "  "));
  EXPECT_EQ(next(a), (Json{{"id", "x"}, {"ok", false}, {"error", "refused on purpose"}}));
  EXPECT_EQ(next(a).value("error", "").rfind("malformed JSON", 0), 0u);
  EXPECT_EQ(next(a),
            (Json{{"ok", false}, {"error", R"(a request is a JSON object, e.g. {"cmd":"list"})"}}));
  EXPECT_TRUE(next(a, 300ms).is_null()) << "a blank line has no reply";
}

TEST_F(ServerTest, AnOverlongLineIsRefusedBeforeItEndsAndTheNextIsServed) {
  ServerLimits limits;
  limits.maxLine = 4096;
  start(limits);
  Client c;
  connect(c);
  const Json refusal = {
      {"ok", false}, {"error", "request longer than 4096 bytes; skipped up to the next line end"}};
  // A line of exactly 4096 bytes is served.
  const std::string head = R"({"cmd":"echo","id":4,"n":1,"pad":")";
  ASSERT_TRUE(c.sendLine(head + std::string(4096 - head.size() - 2, 'p') + R"("})"));
  EXPECT_EQ(next(c), (Json{{"id", 4}, {"ok", true}, {"n", 1}}));
  // Longer, though ended in the same write: refused at its first 4097 bytes.
  ASSERT_TRUE(c.sendLine(std::string(10 * 4096, 'x') + R"({"cmd":"echo","n":1})"));
  EXPECT_EQ(next(c), refusal);
  ASSERT_TRUE(c.sendLine(R"({"cmd":"echo","id":5,"n":2})"));
  EXPECT_EQ(next(c), (Json{{"id", 5}, {"ok", true}, {"n", 2}}));

  // No line end at all: refused all the same, and what follows up to the
  // line end is skipped.
  const std::string endless(3 * 4096, 'y');
  ASSERT_EQ(::send(c.fd(), endless.data(), endless.size(), MSG_NOSIGNAL),
            static_cast<ssize_t>(endless.size()));
  EXPECT_EQ(next(c), refusal) << "refused while the line has not ended";
  ASSERT_TRUE(c.sendLine(R"(still the same line {"cmd":"echo","id":6})"));
  Json reply;
  ASSERT_TRUE(c.request({{"cmd", "echo"}, {"n", 3}}, reply, kPatience, nullptr));
  EXPECT_EQ(reply, (Json{{"id", 1}, {"ok", true}, {"n", 3}})) << "the next line is served";
}

TEST_F(ServerTest, ClientsPastTheCapAreToldAndClosed) {
  ServerLimits limits;
  limits.maxClients = 2;
  start(limits);
  Client first, second, third;
  Json reply;
  for (Client* c : {&first, &second}) {
    connect(*c);
    ASSERT_TRUE(c->request({{"cmd", "echo"}}, reply, kPatience, nullptr));
  }
  connect(third);
  EXPECT_EQ(next(third), (Json{{"ok", false},
                               {"error",
                                "the host serves at most 2 clients at a time; this connection is "
                                "closed"}}));
  EXPECT_EQ(third.nextLine(reply, kPatience), Read::kClosed);
  EXPECT_EQ(server->clientCount(), 2u);

  first.close();
  ASSERT_TRUE(test_support::eventually([&] { return server->clientCount() == 1; }));
  connect(third);
  ASSERT_TRUE(third.request({{"cmd", "echo"}, {"n", 4}}, reply, kPatience, nullptr));
  EXPECT_EQ(reply.value("n", 0), 4) << "a place came free";
}

double cpuSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         1e-6 * static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
}

TEST_F(ServerTest, OutOfDescriptorsNewClientsAreToldTheOthersServedAndNothingSpins) {
  start(ServerLimits());
  Client kept, refused;
  connect(kept);
  Json reply;
  ASSERT_TRUE(kept.request({{"cmd", "echo"}}, reply, kPatience, nullptr)) << "accepted";
  rlimit old{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &old), 0);
  long open = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    (void)entry;
    ++open;
  }
  rlimit tight = old;
  tight.rlim_cur = static_cast<rlim_t>(open + 4);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
  // Every descriptor taken, then one given back: room for the refused
  // client's socket only, whatever else the process holds.
  std::vector<int> filler;
  for (int fd; (fd = ::dup(STDERR_FILENO)) >= 0;) {
    filler.push_back(fd);
  }
  ASSERT_FALSE(filler.empty());
  ::close(filler.back());
  filler.pop_back();
  std::string error;
  const bool connected = refused.connect(path, kPatience, &error);
  const Json told = connected ? next(refused) : Json();
  const double cpuBefore = cpuSeconds();
  std::this_thread::sleep_for(1s);
  const double cpu = cpuSeconds() - cpuBefore;
  const bool served = kept.request({{"cmd", "echo"}, {"n", 9}}, reply, kPatience, nullptr);
  for (int fd : filler) {
    ::close(fd);
  }
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &old), 0);

  ASSERT_TRUE(connected) << error;
  EXPECT_EQ(told, (Json{{"ok", false},
                        {"error",
                         "the host has no file descriptor left for another client; "
                         "this connection is closed"}}));
  EXPECT_LT(cpu, 0.5) << "the server waits for descriptors instead of spinning";
  EXPECT_TRUE(served);
  EXPECT_EQ(reply.value("n", 0), 9) << "the client it had is still served";
}

}  // namespace
