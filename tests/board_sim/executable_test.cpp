// The tolvarine-board-sim program, run as a child process.

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "pty_client.h"

#ifndef BOARD_SIM_EXECUTABLE
#error "BOARD_SIM_EXECUTABLE must name the program under test"
#endif

namespace board_sim_test {
namespace {

using namespace std::chrono_literals;

class Child {
 public:
  explicit Child(std::vector<std::string> args) {
    int out[2];
    int err[2];
    if (::pipe(out) != 0 || ::pipe(err) != 0)
      return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(out[1], 1);
      ::dup2(err[1], 2);
      ::close(out[0]);
      ::close(out[1]);
      ::close(err[0]);
      ::close(err[1]);
      std::vector<char*> argv;
      args.insert(args.begin(), BOARD_SIM_EXECUTABLE);
      for (auto& arg : args)
        argv.push_back(arg.data());
      argv.push_back(nullptr);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    ::close(out[1]);
    ::close(err[1]);
    out_ = out[0];
    err_ = err[0];
  }
  ~Child() {
    if (pid_ > 0 && status_ < 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0)
      ::close(out_);
    if (err_ >= 0)
      ::close(err_);
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  bool started() const { return pid_ > 0; }

  // The first line of standard output, or "" if none came in time.
  std::string firstLine(std::chrono::milliseconds timeout = kPatience) {
    const auto deadline = SteadyClock::now() + timeout;
    while (stdout_.find('\n') == std::string::npos && SteadyClock::now() < deadline) {
      if (!pump(out_, stdout_, 20))
        break;
    }
    const auto end = stdout_.find('\n');
    return end == std::string::npos ? std::string() : stdout_.substr(0, end);
  }

  void signal(int number) { ::kill(pid_, number); }

  // Waits for the exit and collects both streams; -1 if it did not end in time.
  int exitCode(std::chrono::milliseconds timeout = kPatience) {
    const auto deadline = SteadyClock::now() + timeout;
    while (status_ < 0 && SteadyClock::now() < deadline) {
      pump(out_, stdout_, 10);
      pump(err_, stderr_, 10);
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_)
        status_ = status;
    }
    if (status_ < 0)
      return -1;
    while (pump(out_, stdout_, 0) || pump(err_, stderr_, 0)) {
    }
    return WIFEXITED(status_) ? WEXITSTATUS(status_) : 128 + WTERMSIG(status_);
  }

  const std::string& out() const { return stdout_; }
  const std::string& err() const { return stderr_; }

 private:
  static bool pump(int fd, std::string& into, int timeoutMs) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0)
      return true;
    char buffer[4096];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n <= 0)
      return false;
    into.append(buffer, static_cast<std::size_t>(n));
    return true;
  }

  pid_t pid_ = -1;
  int out_ = -1;
  int err_ = -1;
  int status_ = -1;
  std::string stdout_;
  std::string stderr_;
};

class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/board_sim_cli_XXXXXX";
    const char* made = ::mkdtemp(pattern);
    path_ = made != nullptr ? made : "";
  }
  ~TempDir() {
    if (!path_.empty())
      std::system(("rm -rf '" + path_ + "'").c_str());
  }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::vector<std::string> lines(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> out;
  for (std::string line; std::getline(in, line);)
    out.push_back(line);
  return out;
}

std::vector<std::string> fields(const std::string& line) {
  std::vector<std::string> out;
  std::stringstream in(line);
  for (std::string field; std::getline(in, field, ',');)
    out.push_back(field);
  return out;
}

bool exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

TEST(BoardProgram, HelpListsTheOptions) {
  Child child({"--help"});
  ASSERT_TRUE(child.started());
  EXPECT_EQ(child.exitCode(), 0);
  for (const char* option :
       {"--link", "--duration", "--pose-log", "--frame-log", "--reply-delay-ms", "--status",
        "--silent", "--stop-after", "--drop-every", "--corrupt-every", "--split", "--stray-every",
        "--max-accel", "--lag", "--watchdog-ms"}) {
    EXPECT_NE(child.out().find(option), std::string::npos) << option;
  }
}

TEST(BoardProgram, BadOptionsExitTwoWithAReason) {
  TempDir dir;
  const std::vector<std::vector<std::string>> cases{
      {"--no-such-option"},
      {"--status", "0x41"},
      {"--status", "0x41,300"},
      {"--split", "4"},
      {"--split", "9:10"},
      {"--drop-every", "0"},
      {"--drop-every", "-3"},
      {"--max-accel", "fast"},
      {"--duration"},
      {"--resume-after-ms", "100"},
      {"--link", dir.file("never"), "--stray-every", "2:"},
  };
  for (const auto& args : cases) {
    SCOPED_TRACE(args.front() + (args.size() > 1 ? " " + args[1] : ""));
    Child child(args);
    ASSERT_TRUE(child.started());
    EXPECT_EQ(child.exitCode(), 2);
    EXPECT_NE(child.err().find("tolvarine-board-sim: "), std::string::npos) << child.err();
    EXPECT_EQ(child.out(), "");
  }
  EXPECT_FALSE(exists(dir.file("never")));
}

TEST(BoardProgram, ServesLogsAndCleansUpOnSigterm) {
  TempDir dir;
  const std::string link = dir.file("ttyWheelchair");
  const std::string poseLog = dir.file("pose.csv");
  const std::string frameLog = dir.file("frames.csv");
  Child child({"--link", link, "--pose-log", poseLog, "--frame-log", frameLog, "--round-counts",
               "--max-accel", "0", "--status", "0x61,65"});
  ASSERT_TRUE(child.started());
  const std::string device = child.firstLine();
  ASSERT_EQ(device.rfind("/dev/pts/", 0), 0u) << device;
  char target[PATH_MAX] = {};
  ASSERT_GT(::readlink(link.c_str(), target, sizeof target - 1), 0);
  EXPECT_EQ(device, target);

  {
    PtyClient client(link);
    ASSERT_TRUE(client.isOpen());
    for (std::uint8_t sequence = 11; sequence < 14; ++sequence) {
      ASSERT_TRUE(client.send(command(0x40, 0x41, 125, 123, sequence)));
      EXPECT_EQ(client.read(9), (Bytes{0x02, 0x61, 0x41, 77, 179, 0, 0, 0, 0xA2}));
    }
    Bytes bad = stopCommand(14);
    bad[11] ^= 0xFF;
    ASSERT_TRUE(client.send(bad));
    ASSERT_TRUE(client.send(stopCommand(15)));
    EXPECT_EQ(client.read(9).size(), 9u);
  }

  child.signal(SIGTERM);
  ASSERT_EQ(child.exitCode(), 0) << child.err();
  EXPECT_FALSE(exists(link));
  EXPECT_NE(child.err().find("frames 4, bad frames 1, replies 4"), std::string::npos)
      << child.err();

  const auto frames = lines(frameLog);
  ASSERT_EQ(frames.size(), 6u);
  EXPECT_EQ(frames[0], "time_s,bytes,valid");
  const auto first = fields(frames[1]);
  ASSERT_EQ(first.size(), 3u);
  EXPECT_GT(std::stod(first[0]), 0.0);
  EXPECT_EQ(first[1], "02 40 41 7D 7B CC 1A 1A 64 FF 0B E7");
  EXPECT_EQ(first[2], "1");
  EXPECT_EQ(fields(frames[4])[2], "0");
  EXPECT_EQ(fields(frames[5])[2], "1");

  const auto poses = lines(poseLog);
  ASSERT_GE(poses.size(), 3u);
  EXPECT_EQ(poses[0], "time_s,x_m,y_m,theta_rad,distance_m,right_mps,left_mps");
  double previousTime = -1.0;
  for (std::size_t i = 1; i < poses.size(); ++i) {
    const auto row = fields(poses[i]);
    ASSERT_EQ(row.size(), 7u) << poses[i];
    EXPECT_GE(std::stod(row[0]), previousTime);
    previousTime = std::stod(row[0]);
  }
  // The chair drove forward and was stopped by the last frame.
  const auto last = fields(poses.back());
  EXPECT_GT(std::stod(last[1]), 0.0);
  EXPECT_EQ(std::stod(last[5]), 0.0);
}

TEST(BoardProgram, EndsByItselfAfterItsDuration) {
  const auto before = SteadyClock::now();
  Child child({"--duration", "0.2"});
  ASSERT_TRUE(child.started());
  EXPECT_EQ(child.firstLine().rfind("/dev/pts/", 0), 0u);
  EXPECT_EQ(child.exitCode(), 0);
  EXPECT_GE(SteadyClock::now() - before, 200ms);
  EXPECT_NE(child.err().find("run complete"), std::string::npos) << child.err();
}

TEST(BoardProgram, FaultOptionsShapeTheReplies) {
  Child child({"--corrupt-every", "2", "--split", "3:20", "--stray-every", "3:0xAA,0xBB"});
  ASSERT_TRUE(child.started());
  PtyClient client(child.firstLine());
  ASSERT_TRUE(client.isOpen());
  std::vector<Bytes> replies;
  for (std::uint8_t sequence = 11; sequence < 14; ++sequence) {
    ASSERT_TRUE(client.send(stopCommand(sequence)));
    replies.push_back(client.read(sequence == 13 ? 11 : 9));
  }
  const Bytes good{0x02, 0x41, 0x41, 0x80, 0x80, 0, 0, 0, 0x82};
  EXPECT_EQ(replies[0], good);
  ASSERT_EQ(replies[1].size(), 9u);
  EXPECT_NE(replies[1][8], 0x82);
  replies[1][8] = 0x82;
  EXPECT_EQ(replies[1], good);
  Bytes strayed{0xAA, 0xBB};
  strayed.insert(strayed.end(), good.begin(), good.end());
  EXPECT_EQ(replies[2], strayed);
  child.signal(SIGINT);
  EXPECT_EQ(child.exitCode(), 0);
}

TEST(BoardProgram, SilentBoardResumesAfterItsPause) {
  Child child({"--stop-after", "1", "--resume-after-ms", "150"});
  ASSERT_TRUE(child.started());
  PtyClient client(child.firstLine());
  ASSERT_TRUE(client.isOpen());
  const auto firstSent = SteadyClock::now();
  ASSERT_TRUE(client.send(stopCommand(11)));
  ASSERT_EQ(client.read(9).size(), 9u);
  // Keep sending like the controller does, a frame per 30 ms window with the
  // input purged in between, until answers come back.
  Bytes reply;
  for (std::uint8_t sequence = 12; reply.size() != 9 && sequence < 250; ++sequence) {
    client.purge();
    ASSERT_TRUE(client.send(stopCommand(sequence)));
    reply = client.read(9, 30ms);
  }
  EXPECT_EQ(reply.size(), 9u);
  EXPECT_GE(SteadyClock::now() - firstSent, 150ms);
  child.signal(SIGTERM);
  EXPECT_EQ(child.exitCode(), 0);
}

}  // namespace
}  // namespace board_sim_test
