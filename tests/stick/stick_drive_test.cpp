// tolvarine-stick driving the simulated chair, the gamepad a FIFO that the
// test writes joystick events into as the driver would: a press with the
// stick off centre, a turn, a release mid-turn, a press, the
// gamepad pulled away at full speed; then a second run with the board silent
// for a while, ended by SIGHUP. Read off the board's frames and ground truth.
//
// Forward mounting, 0.5 m/s at full deflection. Wheel counts by hand, as
// board_frames.h reads them: right floor(mm/s * 123.29 / 1000), left
// floor(-mm/s * 124.42 / 1000); a ramp step of 21 mm/s is under 3 counts.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/joystick.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>

#include "board_frames.h"
#include "temp_dir.h"
#include "test_process.h"

namespace {

using namespace tolvarine_controller::testing_board;
using tolvarine_board_sim::Clock;

const Wheels kQuarter{30, -32};  // 0.25 m/s: floor(30.82), floor(-31.10)
const Wheels kTurn{49, -63};     // right 0.40, left 0.50 m/s: floor(49.32), floor(-62.21)
const Wheels kFull{61, -63};     // 0.5 m/s: floor(61.65), floor(-62.21)

// The test's end of the FIFO, written as a gamepad's driver would.
struct Gamepad {
  ~Gamepad() { unplug(); }
  // Once the tool has opened its end; then the state at open: centred, released.
  bool plugIn(const std::string& fifo) {
    const auto deadline = Clock::now() + test_support::kPatience;
    while ((fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC)) < 0 && errno == ENXIO &&
           Clock::now() < deadline)
      std::this_thread::sleep_for(10ms);
    for (std::uint8_t n = 0; fd >= 0 && n < 6; ++n) {
      send(JS_EVENT_AXIS | JS_EVENT_INIT, n, 0);
      send(JS_EVENT_BUTTON | JS_EVENT_INIT, n, 0);
    }
    return fd >= 0;
  }
  void send(std::uint8_t type, std::uint8_t number, std::int16_t value) {
    const js_event event{++time, value, type, number};
    EXPECT_EQ(::write(fd, &event, sizeof event), ssize_t(sizeof event)) << std::strerror(errno);
  }
  void axis(std::uint8_t number, std::int16_t value) { send(JS_EVENT_AXIS, number, value); }
  void button(std::uint8_t number, bool pressed) { send(JS_EVENT_BUTTON, number, pressed); }
  void unplug() { fd = fd >= 0 ? ::close(fd), -1 : -1; }
  int fd = -1;
  std::uint32_t time = 0;
};

// The tool as a child process, its console in one log.
class StickTool : public test_support::TestProcess {
 public:
  StickTool(const std::string& dir, const std::string& name, std::vector<std::string> args)
      : TestProcess(withTool(std::move(args)), dir, name, -1, true) {}
  // Waits for `text` in the log past the text waited for before.
  bool shows(const std::string& text) {
    if (!waitForErr(text, test_support::kPatience, seen_)) {
      ADD_FAILURE() << "no '" << text << "' in\n" << err();
      return false;
    }
    seen_ = err().find(text, seen_) + text.size();
    return true;
  }

 private:
  static std::vector<std::string> withTool(std::vector<std::string> args) {
    args.insert(args.begin(), TOLVARINE_STICK_EXECUTABLE);
    return args;
  }
  std::size_t seen_ = 0;
};

// From `from` to rest: each frame at most one step slower, and as many as
// the ramp takes.
void rampsToRest(FrameReader& frames, const Command& from, int atLeast) {
  Command previous = from;
  Command c = frames.nextChange(from);
  int steps = 1;
  for (; c.wheels != Wheels{} && !c.stop && steps < 100; ++steps) {
    previous = c;
    c = frames.next();
    const int r = std::abs(previous.wheels.right), l = std::abs(previous.wheels.left);
    EXPECT_TRUE(std::abs(c.wheels.right) <= r && std::abs(c.wheels.right) >= r - 3 &&
                std::abs(c.wheels.left) <= l && std::abs(c.wheels.left) >= l - 3)
        << previous.wheels << " to " << c.wheels << ": not one ramp step";
  }
  EXPECT_FALSE(c.stop) << "stopped by the stop command, not the ramp, after " << steps;
  EXPECT_GE(steps, atLeast) << "came to rest in fewer frames than the ramp takes";
}

// After the ramp: frames at rest, then the stop command, the last frame.
void endsWithTheStopCommand(FrameReader& frames, SimulatedBoard& board) {
  Command c = frames.next();
  for (int i = 0; !c.stop && i < 50; ++i) {
    EXPECT_EQ(c.wheels, Wheels{});
    c = frames.next();
  }
  EXPECT_TRUE(c.stop);
  EXPECT_TRUE(board.waitForClient(false, kPatience));
  EXPECT_TRUE(isStopCommand(board.frames().back()))
      << "the last frame on the wire is not the stop command";
  EXPECT_TRUE(board.motorSpeeds().right == 0 && board.motorSpeeds().left == 0);
}

TEST(StickDrive, DeadManRampsAndEveryWayOutEndsAtRestWithTheStopCommand) {
  ::signal(SIGPIPE, SIG_IGN);  // a write to a FIFO the tool closed fails instead
  tolvarine_tools::TempDir dir("tolvarine-stick-test");
  const std::string fifo = dir.file("js");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  SimulatedBoard board;
  ASSERT_TRUE(startBoard(board));
  // Axes 3 and 4 and button 5: the defaults 0, 1 and 0 are noise here.
  const std::vector<std::string> args = {
      "--port", board.devicePath(), "--device", fifo,       "--axis-x",
      "3",      "--axis-y",         "4",        "--button", "5"};
  StickTool tool(dir.path(), "first", args);
  Gamepad pad;
  ASSERT_TRUE(pad.plugIn(fifo));
  ASSERT_TRUE(tool.shows("ready:"));
  FrameReader frames(board);

  {
    SCOPED_TRACE("pressed with the stick pushed: nothing moves until it is centred");
    pad.axis(4, -32767);
    pad.button(5, true);
    ASSERT_TRUE(tool.shows("centre the stick to drive"));
    frames.holds({}, 15);
    pad.axis(4, 0);
    ASSERT_TRUE(tool.shows("driving"));
    EXPECT_EQ(board.truePose().distance, 0.0);
  }
  {
    SCOPED_TRACE("up and right (0.6, 0.8): right 0.4, left 0.5 m/s");
    pad.axis(3, 19661);
    pad.axis(4, -26214);
    ASSERT_TRUE(frames.settlesAt(kTurn, 60));
  }
  {
    SCOPED_TRACE("released mid-turn: to rest through the ramp, and it stays there");
    const std::size_t before = board.frameCount();
    pad.button(5, false);
    const auto released = Clock::now();  // the event is in the FIFO
    rampsToRest(frames, {kTurn}, 22);    // the left wheel: 63 counts at 2.61 a frame
    cyclesBeforeRestMark(frames, frames.next());
    int atSpeed = 0;  // frames that went out after the release still at speed
    for (const auto& f : board.framesFrom(before)) {
      if (f.valid && f.at > released && (f.bytes[3] != 63 || f.bytes[4] != 49)) {
        break;
      }
      atSpeed += f.valid && f.at > released;
    }
    EXPECT_LE(atSpeed, 3 * TOLVARINE_TEST_TIME_SCALE);
    RecordProperty("frames_at_speed_after_release", atSpeed);
  }
  {
    SCOPED_TRACE("pressed again, centred, then the gamepad pulled away at full speed");
    pad.button(5, true);
    pad.axis(3, 0);
    pad.axis(4, 0);
    ASSERT_TRUE(tool.shows("driving"));
    pad.axis(4, -32767);
    ASSERT_TRUE(frames.settlesAt(kFull, 60));
    pad.unplug();
    rampsToRest(frames, {kFull}, 22);
    endsWithTheStopCommand(frames, board);
    EXPECT_EQ(tool.wait(), 1);
    const std::string log = tool.err();
    EXPECT_NE(log.find("the gamepad is lost: the event stream"), std::string::npos) << log;
    EXPECT_NE(log.find("brought to rest and sent the stop command"), std::string::npos) << log;
    double distance = NAN, x = NAN, y = NAN, heading = NAN;
    const auto at = log.find("odometry: ");
    ASSERT_NE(at, std::string::npos) << log;
    ASSERT_EQ(
        std::sscanf(log.c_str() + at, "odometry: distance %lf m; x %lf m, y %lf m, heading %lf",
                    &distance, &x, &y, &heading),
        4);
    const auto truth = board.truePose();
    EXPECT_NEAR(distance, truth.distance, 0.03);
    EXPECT_NEAR(x, truth.x, 0.03);
    EXPECT_NEAR(y, truth.y, 0.03);
    EXPECT_NEAR(heading, truth.theta * 180 / 3.14159265358979, 1.0);
  }
  {
    SCOPED_TRACE("a second run: the board silent for a while, then SIGHUP while driving");
    StickTool second(dir.path(), "second", args);
    Gamepad again;
    ASSERT_TRUE(again.plugIn(fifo));
    ASSERT_TRUE(second.shows("ready:"));
    FrameReader more(board);
    again.button(5, true);
    again.axis(4, -16384);
    ASSERT_TRUE(more.settlesAt(kQuarter, 60));
    board.setSilent(true);  // the library brings the chair to rest
    ASSERT_TRUE(second.shows("the board stopped answering"));
    board.setSilent(false);
    ASSERT_TRUE(second.shows("the board answers again"));
    ASSERT_TRUE(more.settlesAt({}, 60));
    more.holds({}, 15, "held and pushed through the loss: it moved again");
    again.button(5, false);
    again.axis(4, 0);
    again.button(5, true);
    ASSERT_TRUE(second.shows("driving"));
    again.axis(4, -16384);
    ASSERT_TRUE(more.settlesAt(kQuarter, 60));
    second.signal(SIGHUP);
    rampsToRest(more, {kQuarter}, 11);  // 32 counts at 2.61 a frame
    endsWithTheStopCommand(more, board);
    EXPECT_EQ(second.wait(), 0);
    EXPECT_NE(second.err().find("stopped by SIGHUP; the chair was brought to rest"),
              std::string::npos)
        << second.err();
  }
}

// A typo such as "nan" for an acceleration must not reach the chair.
TEST(StickDrive, CommandLineRefusesWhatCannotBeDriven) {
  tolvarine_tools::TempDir dir("tolvarine-stick-test");
  StickTool tool(dir.path(), "nan", {"--port", "x", "--max-acc", "nan"});
  EXPECT_EQ(tool.wait(), 2);
  EXPECT_NE(tool.err().find("is not a number above 0 and at most 3"), std::string::npos)
      << tool.err();
}

}  // namespace
