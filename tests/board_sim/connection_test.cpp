// The pseudo-terminal's life: clients coming and going, links, start and stop.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <string>

#include "pty_client.h"
#include "tolvarine_board_sim/simulated_board.h"

namespace board_sim_test {
namespace {

using namespace std::chrono_literals;
using tolvarine_board_sim::SimulatedBoard;

std::string readLink(const std::string& path) {
  char target[PATH_MAX] = {};
  const ssize_t n = ::readlink(path.c_str(), target, sizeof target - 1);
  return n > 0 ? std::string(target, static_cast<std::size_t>(n)) : std::string();
}

bool exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/board_sim_test_XXXXXX";
    const char* made = ::mkdtemp(pattern);
    path_ = made != nullptr ? made : "";
  }
  ~TempDir() {
    if (!path_.empty())
      std::system(("rm -rf '" + path_ + "'").c_str());
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

TEST(BoardConnection, DevicePathIsAPtySlaveOnlyWhileRunning) {
  SimulatedBoard board;
  EXPECT_EQ(board.devicePath(), "");
  EXPECT_FALSE(board.clientConnected());
  std::string error;
  ASSERT_TRUE(board.start(&error)) << error;
  const std::string path = board.devicePath();
  EXPECT_EQ(path.rfind("/dev/pts/", 0), 0u) << path;
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_TRUE(S_ISCHR(st.st_mode));

  // A second start is refused with a reason.
  error.clear();
  EXPECT_FALSE(board.start(&error));
  EXPECT_FALSE(error.empty());
  board.stop();
  board.stop();  // twice is harmless
}

TEST(BoardConnection, ReportsClientsComingAndGoing) {
  SimulatedBoard board;
  ASSERT_TRUE(board.start());
  EXPECT_FALSE(board.clientConnected());
  {
    PtyClient client(board.devicePath());
    ASSERT_TRUE(client.isOpen());
    EXPECT_TRUE(board.waitForClient(true, kPatience));
  }
  EXPECT_TRUE(board.waitForClient(false, kPatience));
}

TEST(BoardConnection, ServesAnyNumberOfExclusiveOpenCloseCycles) {
  SimulatedBoard board;
  ASSERT_TRUE(board.start());
  for (int cycle = 0; cycle < 5; ++cycle) {
    SCOPED_TRACE(cycle);
    PtyClient client(board.devicePath());
    ASSERT_TRUE(client.isOpen());
    // A reply left unread by the previous client must not greet this one.
    EXPECT_EQ(client.available(), 0);
    ASSERT_TRUE(client.send(stopCommand(static_cast<std::uint8_t>(11 + cycle))));
    EXPECT_EQ(client.read(9).size(), 9u);
    // A frame the client never reads the answer to.
    ASSERT_TRUE(client.send(stopCommand(static_cast<std::uint8_t>(50 + cycle))));
    ASSERT_TRUE(board.waitForFrames(static_cast<std::size_t>(2 * cycle + 2), kPatience));
    ASSERT_TRUE(board.waitForReplies(static_cast<std::uint64_t>(2 * cycle + 2), kPatience));
    client.close();
    ASSERT_TRUE(board.waitForClient(false, kPatience));
  }
  EXPECT_EQ(board.validFrameCount(), 10u);
  EXPECT_EQ(board.badFrameCount(), 0u);
}

TEST(BoardConnection, LinkIsMadeReplacedAndRemoved) {
  TempDir dir;
  ASSERT_FALSE(dir.path().empty());
  const std::string link = dir.path() + "/ttyWheelchair";
  SimulatedBoard board;

  std::string error;
  EXPECT_FALSE(board.createLink(link, &error));  // no device yet
  EXPECT_FALSE(error.empty());

  ASSERT_TRUE(board.start());
  ASSERT_EQ(::symlink("/nonexistent", link.c_str()), 0);
  ASSERT_TRUE(board.createLink(link, &error)) << error;
  EXPECT_EQ(readLink(link), board.devicePath());

  PtyClient client(link);
  ASSERT_TRUE(client.isOpen());
  ASSERT_TRUE(client.send(stopCommand(11)));
  EXPECT_EQ(client.read(9).size(), 9u);

  // A real file is never replaced.
  const std::string file = dir.path() + "/notes.txt";
  { std::ofstream(file) << "keep me\n"; }
  EXPECT_FALSE(board.createLink(file, &error));
  EXPECT_NE(error.find("not a symbolic link"), std::string::npos) << error;
  EXPECT_EQ(readLink(file), "");
  EXPECT_TRUE(exists(file));

  board.stop();
  EXPECT_FALSE(exists(link));
  EXPECT_TRUE(exists(file));
}

TEST(BoardConnection, RestartGivesAFreshBoard) {
  SimulatedBoard board;
  ASSERT_TRUE(board.start());
  {
    PtyClient client(board.devicePath());
    ASSERT_TRUE(client.send(stopCommand(11)));
    EXPECT_EQ(client.read(9).size(), 9u);
  }
  board.stop();
  EXPECT_FALSE(board.clientConnected());
  ASSERT_TRUE(board.start());
  EXPECT_EQ(board.validFrameCount(), 0u);
  EXPECT_EQ(board.replyCount(), 0u);
  EXPECT_TRUE(board.frames().empty());
  PtyClient client(board.devicePath());
  ASSERT_TRUE(client.send(stopCommand(12)));
  EXPECT_EQ(client.read(9).size(), 9u);
}

TEST(BoardConnection, StopsWhileAClientHoldsTheDevice) {
  auto board = std::make_unique<SimulatedBoard>();
  ASSERT_TRUE(board->start());
  PtyClient client(board->devicePath());
  ASSERT_TRUE(client.send(stopCommand(11)));
  ASSERT_TRUE(board->waitForFrames(1, kPatience));
  const auto before = SteadyClock::now();
  board.reset();  // the destructor stops the board
  EXPECT_LT(SteadyClock::now() - before, kPatience);
}

}  // namespace
}  // namespace board_sim_test
