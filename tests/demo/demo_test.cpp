// Runs tolvarine-demo as a user would (the short script, its own output folder) and checks
// everything it leaves behind in one go: the records, the odometry against the board's ground
// truth, the plots, that nothing it started outlives it; then its help and one bad option.

#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "temp_dir.h"
#include "test_process.h"

namespace {

namespace fs = std::filesystem;
using test_support::readFile;

// The processes whose parent is this one. As a subreaper, this process inherits whatever the
// demo leaves running when it exits.
std::vector<pid_t> children() {
  std::vector<pid_t> found;
  for (const fs::directory_entry& entry : fs::directory_iterator("/proc")) {
    const std::string stat = readFile(entry.path() / "stat");
    std::istringstream rest(stat.substr(stat.rfind(')') + 1));  // the name may hold spaces
    char state = 0;
    long ppid = 0;
    if (stat.find(')') != std::string::npos && rest >> state >> ppid && ppid == ::getpid())
      found.push_back(std::stoi(entry.path().filename()));
  }
  return found;
}

// "key: value" from a configuration file the demo wrote.
std::string configValue(const fs::path& file, const std::string& key) {
  std::istringstream in(readFile(file));
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(key + ": ", 0) == 0)
      return line.substr(key.size() + 2);
  }
  return "";
}

// A CSV record: its header, and its rows with the first `numeric` fields as numbers.
struct Table {
  std::string header;
  std::vector<std::vector<double>> rows;
  std::vector<std::string> lines;
  double at(std::size_t row, std::size_t column) const { return rows.at(row).at(column); }
  double last(std::size_t column) const { return rows.empty() ? NAN : rows.back().at(column); }
  // Samples per second over the span of a time column, checking that it never goes back.
  double rate(std::size_t column) const {
    for (std::size_t i = 1; i < rows.size(); ++i)
      EXPECT_LE(at(i - 1, column), at(i, column)) << header << ", row " << i;
    return rows.size() < 2 ? 0.0 : (rows.size() - 1) / (last(column) - at(0, column));
  }
};

Table readTable(const fs::path& path, const std::string& header, std::size_t numeric) {
  Table table;
  std::istringstream in(readFile(path));
  EXPECT_TRUE(std::getline(in, table.header) && table.header == header) << path;
  for (std::string line; std::getline(in, line);) {
    std::istringstream fields(line);
    std::vector<double> row(numeric);
    for (double& value : row) {
      std::string field;
      std::getline(fields, field, ',');
      char* end = nullptr;
      value = std::strtod(field.c_str(), &end);
      EXPECT_TRUE(!field.empty() && *end == '\0') << path << ": '" << line << "'";
    }
    table.rows.push_back(row);
    table.lines.push_back(line);
  }
  EXPECT_FALSE(table.rows.empty()) << path;
  return table;
}

void expectPng(const fs::path& path) {
  const std::string bytes = readFile(path);
  ASSERT_GT(bytes.size(), 24u) << path;
  EXPECT_EQ(bytes.substr(0, 16), std::string("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR", 16)) << path;
  auto be32 = [&bytes](std::size_t at) {
    std::uint32_t value = 0;
    for (std::size_t i = at; i < at + 4; ++i)
      value = value << 8 | static_cast<unsigned char>(bytes[i]);
    return value;
  };
  EXPECT_TRUE(be32(16) >= 400 && be32(20) >= 400) << path << ": " << be32(16) << "x" << be32(20);
}

// Runs the demo to its end with its output (standard output and error) in `log`.
int runDemo(std::vector<std::string> args, const fs::path& dir, std::string& log) {
  args.insert(args.begin(), TOLVARINE_DEMO_EXECUTABLE);
  test_support::TestProcess demo(args, dir, "demo", -1, true);
  const int status = demo.wait(std::chrono::seconds(120 * TOLVARINE_TEST_TIME_SCALE)).value_or(-1);
  log = demo.err();
  return status;
}

TEST(Demo, ShortRunRecordsDrivesPlotsAndCleansUpAndItsCommandLineExplainsItself) {
  ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  const tolvarine_tools::TempDir temp("tolvarine-demo-test");
  const fs::path dir = temp.path(), out = dir / "out";
  std::string log;
  ASSERT_EQ(runDemo({"--short", "--output", out}, dir, log), 0) << log;
  for (const char* text : {"summary", "odometry error", "last command: stop"})
    EXPECT_NE(log.find(text), std::string::npos) << "no '" << text << "' in\n" << log;

  // Nothing it started is left: no process, no control socket, no device link, nor their
  // folders.
  const std::vector<pid_t> left = children();
  EXPECT_TRUE(left.empty()) << left.size() << " process(es) left, the first " << left.at(0);
  for (pid_t pid : left)
    ::kill(pid, SIGKILL), ::waitpid(pid, nullptr, 0);
  const std::string socket = configValue(out / "rtc.conf", "manager.standin.control_socket");
  const std::string link =
      configValue(out / "TolvarineContorollerModule.conf", "conf.default.COM_Port");
  ASSERT_FALSE(socket.empty() || link.empty()) << readFile(out / "rtc.conf");
  for (const fs::path& path : {fs::path(socket), fs::path(link)}) {
    EXPECT_FALSE(fs::exists(fs::symlink_status(path))) << path;
    EXPECT_FALSE(fs::exists(path.parent_path())) << path.parent_path();
  }
  EXPECT_NE(readFile(out / "component.log").size(), 0u);

  // The commands, about ten a second over the 9 s script, start and end standing still.
  const Table commands =
      readTable(out / "velocity_in.csv", "time_s,vx_mps,vy_mps,va_radps,segment", 4);
  EXPECT_GE(commands.rows.size(), 70u);
  EXPECT_TRUE(commands.at(0, 1) == 0.0 && commands.last(1) == 0.0 && commands.last(3) == 0.0);
  // One pose and one velocity per cycle of the 30 Hz execution context; never faster, as
  // each cycle waits for a fresh status frame, one every 30 ms.
  const Table odometry = readTable(out / "odometry.csv", "time_s,stamp_s,x_m,y_m,heading_rad", 5);
  const Table velocity =
      readTable(out / "velocity_out.csv", "time_s,stamp_s,vx_mps,vy_mps,va_radps", 5);
  EXPECT_GE(odometry.rows.size(), 100u);
  EXPECT_NEAR(odometry.rows.size(), velocity.rows.size(), 2.0);
  for (const Table* t : {&odometry, &velocity}) {
    for (std::size_t column : {0, 1}) {
      const double rate = t->rate(column);
      EXPECT_TRUE(rate > 15.0 && rate < 34.0) << t->header << ": " << rate << " per s";
    }
  }
  // The ground truth every 10 ms from before the first pose sample to after the last; the
  // chair drove and ended standing still.
  const Table truth =
      readTable(out / "ground_truth.csv",
                "time_s,x_m,y_m,theta_rad,distance_m,right_mps,left_mps,v_mps,w_radps", 9);
  const double rate = truth.rate(0);
  EXPECT_TRUE(rate > 66.0 && rate < 111.0) << rate << " per s";
  EXPECT_TRUE(truth.at(0, 0) <= odometry.at(0, 0) && truth.last(0) >= odometry.last(0));
  EXPECT_GT(truth.last(4), 1.5);
  EXPECT_TRUE(truth.last(5) == 0.0 && truth.last(6) == 0.0);

  // The odometry ends where the chair is. The board reports each wheel in counts of 19.5 mm/s
  // and carries the fraction left over into its next report, so over the 2 m script only the
  // counts lost around standstill and the speed changes within a 30 ms cycle leave an error:
  // a few millimetres. 5 cm and 2 degrees leave room for cycles stretched by a loaded machine;
  // a wrong sign, tread or wheel puts the end decimetres away.
  const double dx = odometry.last(2) - truth.last(1), dy = odometry.last(3) - truth.last(2);
  EXPECT_LT(std::hypot(dx, dy), 0.05) << "odometry off by " << dx << ", " << dy;
  EXPECT_LT(std::fabs(std::remainder(odometry.last(4) - truth.last(3), 2 * M_PI)), 0.035);
  EXPECT_GT(std::hypot(truth.last(1), truth.last(2)), 1.0);

  // Every command frame the board got was well formed, and the last one is the stop command.
  const Table frames = readTable(out / "board_frames.csv", "time_s,bytes,valid", 1);
  EXPECT_GE(frames.rows.size(), 250u);
  EXPECT_EQ(std::count_if(frames.lines.begin(), frames.lines.end(),
                          [](const std::string& line) { return line.back() != '1'; }),
            0);
  const std::string last = frames.lines.empty() ? "" : frames.lines.back();
  EXPECT_NE(last.find(",02 30 30 00 00 cc 1a 1a 64 ff "), std::string::npos) << last;

  expectPng(out / "path.png");
  expectPng(out / "velocity.png");

  EXPECT_EQ(runDemo({"--help"}, dir, log), 0);
  EXPECT_NE(log.find("--output DIR"), std::string::npos) << log;
  EXPECT_EQ(runDemo({"--duration", "2"}, dir, log), 2);
  EXPECT_EQ(log,
            "tolvarine-demo: --duration: bad value '2' (expected seconds from 5 to 3600); see "
            "--help\n");
}

}  // namespace
