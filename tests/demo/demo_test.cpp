// Runs tolvarine-demo as a user would (short script, own output folder) and
// checks what it leaves behind: the CSV records, the odometry against the
// board's ground truth, the plots, and that no process, socket or device
// link outlives it - also when it fails or is interrupted.

#include <dirent.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "child_process.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using tolvarine_tools::ChildProcess;

constexpr double kPi = 3.14159265358979323846;
// What the board reports: each wheel's speed in counts of 293/15 mm/s,
// rounded to the nearest after adding the fraction left out of the previous
// report; the odometry reads counts within +-1 of the centre as standstill.
constexpr double kCountUnit = 0.293 / 15.0;  // m/s
constexpr double kTread = 0.5488;            // m, board and odometry alike
// Longest time between two status frames the odometry integrates over: the
// 30 ms cycle with room for scheduling delays.
constexpr double kLongestCycle = 0.04;  // s

// ---- Running the demo -----------------------------------------------------------

struct Outcome {
  int exitCode = -1;
  std::string log;  // standard output and error, interleaved
};

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The processes whose parent is this one (live or not yet reaped).
std::vector<pid_t> childrenOfThisProcess() {
  std::vector<pid_t> children;
  const pid_t self = ::getpid();
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) {
    return children;
  }
  while (const dirent* entry = ::readdir(proc)) {
    const std::string name = entry->d_name;
    if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) {
      continue;
    }
    const std::string stat = readFile("/proc/" + name + "/stat");
    // pid (comm) state ppid ...: comm may hold spaces, so read after the last ')'.
    const std::size_t close = stat.rfind(')');
    if (close == std::string::npos) {
      continue;
    }
    std::istringstream rest(stat.substr(close + 1));
    char state = 0;
    long ppid = 0;
    rest >> state >> ppid;
    if (ppid == self) {
      children.push_back(static_cast<pid_t>(std::stol(name)));
    }
  }
  ::closedir(proc);
  return children;
}

class DemoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Whatever the demo leaves running becomes our child when it exits, so
    // leftovers can be seen (and cleaned up) here.
    ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    std::string pattern = (fs::temp_directory_path() / "tolvarine-demo-test.XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    output_ = dir_ / "out";
  }

  void TearDown() override {
    for (pid_t pid : childrenOfThisProcess()) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
    }
    std::error_code ec;
    if (!HasFailure()) {
      fs::remove_all(dir_, ec);
    } else {
      std::cerr << "demo test: outputs kept in " << dir_.string() << std::endl;
    }
  }

  // Runs the demo to its end. With `interruptAt`, sends SIGINT once that text
  // shows up in its output.
  Outcome runDemo(std::vector<std::string> args, const std::string& interruptAt = "") {
    args.insert(args.begin(), TOLVARINE_DEMO_EXECUTABLE);
    const fs::path log = dir_ / "demo.log";
    ChildProcess demo;
    std::string error;
    Outcome outcome;
    if (!demo.start(args, dir_.string(), log.string(), &error)) {
      ADD_FAILURE() << error;
      return outcome;
    }
    const auto deadline = std::chrono::steady_clock::now() + 180s;
    bool interrupted = false;
    while (!demo.waitFor(50ms)) {
      if (!interruptAt.empty() && !interrupted &&
          readFile(log).find(interruptAt) != std::string::npos) {
        demo.signal(SIGINT);
        interrupted = true;
      }
      if (std::chrono::steady_clock::now() > deadline) {
        demo.stop(1s);
        ADD_FAILURE() << "the demo did not end within 180 s";
        break;
      }
    }
    if (!interruptAt.empty()) {
      EXPECT_TRUE(interrupted) << "never saw '" << interruptAt << "'";
    }
    outcome.exitCode = demo.exitCode();
    outcome.log = readFile(log);
    return outcome;
  }

  // Nothing the demo started may be left: no process, no socket, no link.
  void expectNothingLeft() {
    const std::vector<pid_t> left = childrenOfThisProcess();
    EXPECT_TRUE(left.empty()) << left.size() << " process(es) left behind, first pid "
                              << (left.empty() ? 0 : left.front());
    // The stand-in host's socket, or on OpenRTM-aist the driver's.
    std::string socket = configValue(output_ / "rtc.conf", "manager.standin.control_socket");
    if (socket.empty()) {
      socket = configValue(output_ / "driver.conf", "tolvarine.driver.control_socket");
    }
    const std::string link =
        configValue(output_ / "TolvarineContorollerModule.conf", "conf.default.COM_Port");
    ASSERT_FALSE(socket.empty()) << "rtc.conf names no control socket";
    ASSERT_FALSE(link.empty()) << "the component's configuration names no COM_Port";
    std::error_code ec;
    for (const fs::path& path : {fs::path(socket), fs::path(link), fs::path(socket).parent_path(),
                                 fs::path(link).parent_path()}) {
      EXPECT_FALSE(fs::exists(fs::symlink_status(path, ec))) << path << " is still there";
    }
  }

  // "key: value" from an OpenRTM-aist style configuration file.
  static std::string configValue(const fs::path& file, const std::string& key) {
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line)) {
      if (line.rfind(key + ":", 0) == 0) {
        const std::size_t start = line.find_first_not_of(" \t", key.size() + 1);
        return start == std::string::npos ? std::string() : line.substr(start);
      }
    }
    return std::string();
  }

  void checkShortRun(const std::string& middleware);

  fs::path dir_;
  fs::path output_;
};

// ---- Reading the records ---------------------------------------------------------

struct Table {
  std::vector<std::string> header;
  std::vector<std::vector<double>> rows;  // the first `columns` fields, as numbers
  double at(std::size_t row, const std::string& column) const {
    const auto it = std::find(header.begin(), header.end(), column);
    return rows.at(row).at(static_cast<std::size_t>(it - header.begin()));
  }
  std::vector<double> column(const std::string& name) const {
    std::vector<double> values;
    for (std::size_t r = 0; r < rows.size(); ++r) {
      values.push_back(at(r, name));
    }
    return values;
  }
};

std::vector<std::string> splitFields(const std::string& line) {
  std::vector<std::string> fields;
  std::string field;
  std::istringstream in(line);
  while (std::getline(in, field, ',')) {
    fields.push_back(field);
  }
  return fields;
}

// Reads a CSV file whose first `numeric` columns are numbers.
Table readTable(const fs::path& path, std::size_t numeric) {
  Table table;
  std::ifstream in(path);
  std::string line;
  if (!std::getline(in, line)) {
    ADD_FAILURE() << path << " is missing or empty";
    return table;
  }
  table.header = splitFields(line);
  EXPECT_GE(table.header.size(), numeric) << path << ": " << line;
  while (std::getline(in, line)) {
    const std::vector<std::string> fields = splitFields(line);
    std::vector<double> row;
    for (std::size_t i = 0; i < numeric && i < fields.size(); ++i) {
      char* end = nullptr;
      row.push_back(std::strtod(fields[i].c_str(), &end));
      EXPECT_EQ(*end, '\0') << path << ": not a number in '" << line << "'";
    }
    EXPECT_EQ(row.size(), numeric) << path << ": short line '" << line << "'";
    if (row.size() == numeric) {
      table.rows.push_back(row);
    }
  }
  return table;
}

void expectIncreasing(const std::vector<double>& values, bool strictly, const std::string& what) {
  for (std::size_t i = 1; i < values.size(); ++i) {
    if (strictly ? !(values[i] > values[i - 1]) : !(values[i] >= values[i - 1])) {
      ADD_FAILURE() << what << " goes back at row " << i << ": " << values[i - 1] << " then "
                    << values[i];
      return;
    }
  }
}

// Samples per second over the span of a time column.
double rateOf(const std::vector<double>& times) {
  if (times.size() < 2 || times.back() <= times.front()) {
    return 0.0;
  }
  return static_cast<double>(times.size() - 1) / (times.back() - times.front());
}

// The last command frame with valid framing in the board's record: bytes 1..4
// are the two direction bytes and the two speeds.
std::string lastValidFrame(const fs::path& path) {
  std::ifstream in(path);
  std::string line;
  std::string last;
  std::getline(in, line);  // header
  while (std::getline(in, line)) {
    const std::vector<std::string> fields = splitFields(line);
    if (fields.size() == 3 && fields[2] == "1") {
      last = fields[1];
    }
  }
  return last;
}

void expectPng(const fs::path& path) {
  const std::string bytes = readFile(path);
  ASSERT_GT(bytes.size(), 24u) << path << " is missing or empty";
  EXPECT_EQ(bytes.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8)) << path;
  EXPECT_EQ(bytes.substr(12, 4), "IHDR") << path;
  auto be32 = [&bytes](std::size_t at) {
    std::uint32_t v = 0;
    for (std::size_t i = 0; i < 4; ++i) {
      v = (v << 8) | static_cast<unsigned char>(bytes[at + i]);
    }
    return v;
  };
  EXPECT_GE(be32(16), 400u) << path << " width";
  EXPECT_GE(be32(20), 400u) << path << " height";
}

// Worst-case bound on the odometry's final error, from the wheel speeds the
// board really had (its ground-truth record) and what it can report of them.
//
// Each wheel's reported speed differs from the true one by
//   e = max(|v|, one count)  when |v| < 2 counts (it may read as standstill:
//                            a carried fraction of up to half a count can
//                            pull a report down to +-1),
//   e = one count            otherwise (half for the rounding, half for the
//                            fraction carried from the previous report),
// plus, while the speed changes, the change over half a cycle: the speed at
// the moment of the reply stands for the whole interval since the last one
// (e += |dv/dt| * cycle / 2).
// The heading error grows at most at (e_right + e_left) / tread, the position
// error at most at (e_right + e_left) / 2 (speed) plus |v| times the heading
// error reached so far (direction). Integrated over the record, these bound
// the final heading and position errors.
struct ErrorBound {
  double heading = 0.0;   // rad
  double position = 0.0;  // m
};

ErrorBound odometryBound(const Table& truth) {
  auto countError = [](double v) {
    return std::fabs(v) < 2.0 * kCountUnit ? std::max(std::fabs(v), kCountUnit) : kCountUnit;
  };
  ErrorBound bound;
  for (std::size_t i = 1; i < truth.rows.size(); ++i) {
    const double dt = truth.at(i, "time_s") - truth.at(i - 1, "time_s");
    const double right = truth.at(i, "right_mps");
    const double left = truth.at(i, "left_mps");
    const double rightRate = std::fabs(right - truth.at(i - 1, "right_mps")) / dt;
    const double leftRate = std::fabs(left - truth.at(i - 1, "left_mps")) / dt;
    const double eRight = countError(right) + rightRate * kLongestCycle / 2.0;
    const double eLeft = countError(left) + leftRate * kLongestCycle / 2.0;
    bound.heading += (eRight + eLeft) / kTread * dt;
    bound.position += ((eRight + eLeft) / 2.0 + std::fabs(right + left) / 2.0 * bound.heading) * dt;
  }
  return bound;
}

// ---- The tests -------------------------------------------------------------------

// The short run with `middleware` ("standin" or "openrtm").
void DemoTest::checkShortRun(const std::string& middleware) {
  const Outcome outcome =
      runDemo({"--short", "--middleware", middleware, "--output", output_.string()});
  ASSERT_EQ(outcome.exitCode, 0) << outcome.log;
  expectNothingLeft();

  // The summary, as the user sees it.
  for (const char* text : {"summary", "distance driven", "odometry error",
                           "cycles:", "frames:", "last command: stop", output_.c_str()}) {
    EXPECT_NE(outcome.log.find(text), std::string::npos) << "no '" << text << "' in\n"
                                                         << outcome.log;
  }

  // Commands: about 10 a second over the 9 s script, each time later than
  // the one before; the script starts and ends standing still.
  const Table commands = readTable(output_ / "velocity_in.csv", 4);
  EXPECT_GE(commands.rows.size(), 70u);
  expectIncreasing(commands.column("time_s"), true, "velocity_in.csv time_s");
  ASSERT_FALSE(commands.rows.empty());
  EXPECT_EQ(commands.at(0, "vx_mps"), 0.0);
  EXPECT_EQ(commands.at(commands.rows.size() - 1, "vx_mps"), 0.0);
  EXPECT_EQ(commands.at(commands.rows.size() - 1, "va_radps"), 0.0);

  // One pose and one velocity sample per cycle: the execution context runs
  // at 30 Hz, and no cycle can be shorter than the 30 ms link cycle.
  const Table odometry = readTable(output_ / "odometry.csv", 5);
  const Table velocity = readTable(output_ / "velocity_out.csv", 5);
  ASSERT_GE(odometry.rows.size(), 100u);
  EXPECT_LE(
      std::abs(static_cast<long>(odometry.rows.size()) - static_cast<long>(velocity.rows.size())),
      2);
  for (const Table* t : {&odometry, &velocity}) {
    expectIncreasing(t->column("time_s"), false, "time_s");
    expectIncreasing(t->column("stamp_s"), false, "stamp_s");
    EXPECT_GT(rateOf(t->column("time_s")), 20.0);
    EXPECT_LT(rateOf(t->column("time_s")), 34.0);
    EXPECT_GT(rateOf(t->column("stamp_s")), 20.0);
    EXPECT_LT(rateOf(t->column("stamp_s")), 34.0);
  }

  // The ground truth every 10 ms (the board's time runs in whole 1 ms steps)
  // from before the first pose sample to after the last.
  const Table truth = readTable(output_ / "ground_truth.csv", 9);
  ASSERT_GE(truth.rows.size(), 2u);
  const std::vector<double> truthTimes = truth.column("time_s");
  expectIncreasing(truthTimes, true, "ground_truth.csv time_s");
  const double meanStep = (truthTimes.back() - truthTimes.front()) / (truthTimes.size() - 1);
  EXPECT_GT(meanStep, 0.009);
  EXPECT_LT(meanStep, 0.015);
  EXPECT_LE(truthTimes.front(), odometry.at(0, "time_s"));
  EXPECT_GE(truthTimes.back(), odometry.at(odometry.rows.size() - 1, "time_s"));

  // The chair drove somewhere and ended standing.
  const std::size_t lastTruth = truth.rows.size() - 1;
  EXPECT_GT(truth.at(lastTruth, "distance_m"), 1.5);
  EXPECT_EQ(truth.at(lastTruth, "right_mps"), 0.0);
  EXPECT_EQ(truth.at(lastTruth, "left_mps"), 0.0);

  // The odometry ends where the chair is, within what the reported wheel
  // counts allow (see odometryBound).
  const ErrorBound bound = odometryBound(truth);
  const std::size_t lastPose = odometry.rows.size() - 1;
  const double dx = odometry.at(lastPose, "x_m") - truth.at(lastTruth, "x_m");
  const double dy = odometry.at(lastPose, "y_m") - truth.at(lastTruth, "y_m");
  const double headingError = std::remainder(
      odometry.at(lastPose, "heading_rad") - truth.at(lastTruth, "theta_rad"), 2.0 * kPi);
  RecordProperty("position_error_mm", static_cast<int>(std::hypot(dx, dy) * 1000.0));
  RecordProperty("position_bound_mm", static_cast<int>(bound.position * 1000.0));
  EXPECT_LT(std::hypot(dx, dy), bound.position);
  EXPECT_LT(std::fabs(headingError), bound.heading);
  // The bound is about motion, not a licence to report nothing: the chair
  // moved further than the bound allows for.
  EXPECT_GT(std::hypot(truth.at(lastTruth, "x_m"), truth.at(lastTruth, "y_m")), bound.position);

  // The last command the board got is the stop command.
  EXPECT_EQ(lastValidFrame(output_ / "board_frames.csv").substr(0, 14), "02 30 30 00 00");

  expectPng(output_ / "path.png");
  expectPng(output_ / "velocity.png");
}

TEST_F(DemoTest, ShortRunRecordsTheDrivePlotsItAndLeavesNothingBehind) {
  checkShortRun("standin");
}

TEST_F(DemoTest, ShortRunOnOpenRtmGoesThroughTheMiddlewareAndLeavesNothingBehind) {
  if (!TOLVARINE_DEMO_HAS_OPENRTM) {
    GTEST_SKIP() << "OpenRTM-aist was not found when this build was configured";
  }
  checkShortRun("openrtm");
}

TEST_F(DemoTest, SilentBoardFailsWithAClearMessageAndLeavesNothingBehind) {
  const Outcome outcome = runDemo({"--short", "--silent-board", "--output", output_.string()});
  EXPECT_EQ(outcome.exitCode, 1) << outcome.log;
  EXPECT_NE(outcome.log.find("the component did not activate"), std::string::npos) << outcome.log;
  EXPECT_NE(outcome.log.find("the board did not answer the handshake"), std::string::npos)
      << outcome.log;
  expectNothingLeft();
  EXPECT_FALSE(fs::exists(output_ / "path.png"));
}

TEST_F(DemoTest, CtrlCStopsTheChairAndLeavesNothingBehind) {
  // Interrupted in the middle of a turn, with the chair moving.
  const Outcome outcome = runDemo({"--short", "--output", output_.string()}, "left turn");
  EXPECT_EQ(outcome.exitCode, 130) << outcome.log;
  EXPECT_NE(outcome.log.find("interrupted"), std::string::npos) << outcome.log;
  expectNothingLeft();
  EXPECT_EQ(lastValidFrame(output_ / "board_frames.csv").substr(0, 14), "02 30 30 00 00");
  EXPECT_FALSE(fs::exists(output_ / "path.png"));
}

TEST_F(DemoTest, CommandLineMistakesAreReportedBeforeAnythingStarts) {
  Outcome outcome = runDemo({"--rate"});
  EXPECT_EQ(outcome.exitCode, 2);
  EXPECT_NE(outcome.log.find("--rate needs a value"), std::string::npos) << outcome.log;

  outcome = runDemo({"--duration", "2"});
  EXPECT_EQ(outcome.exitCode, 2);
  EXPECT_NE(outcome.log.find("bad value '2' for --duration"), std::string::npos) << outcome.log;

  outcome =
      runDemo({"--component", (dir_ / "no-such-component").string(), "--output", output_.string()});
  EXPECT_EQ(outcome.exitCode, 1);
  EXPECT_NE(outcome.log.find("missing or not executable"), std::string::npos) << outcome.log;
  EXPECT_TRUE(childrenOfThisProcess().empty());

  outcome = runDemo({"--help"});
  EXPECT_EQ(outcome.exitCode, 0);
  EXPECT_NE(outcome.log.find("--output DIR"), std::string::npos) << outcome.log;
}

}  // namespace
