// The Windows build end to end: the simulated board on a pseudo-terminal,
// mapped into a private Wine prefix as a COM port, driven by the Windows
// program com_port_drive.exe through TolvarineController.dll; the same
// program built for Linux drives a second board through the pseudo-terminal
// itself, and both boards' records must hold the same frames.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "board_frames.h"
#include "child_process.h"
#include "test_support.h"
#include "tolvarine_board_sim/simulated_board.h"
#include "wine_prefix.h"

namespace {

using tolvarine_board_sim::ReceivedFrame;
using tolvarine_board_sim::SimulatedBoard;
using tolvarine_controller::testing_board::isStopCommand;
using PipedProcess = tolvarine_tools::ChildProcess;
using tolvarine_tools::WinePrefix;
using namespace std::chrono_literals;
using test_support::readFile;

// Wine's first start in a prefix and the library's handshake plus its 2 s
// settling pause both come before the first line.
constexpr auto kPatience = 60s * TOLVARINE_TEST_TIME_SCALE;
constexpr std::uint8_t kRestMark = 40;

// Bytes 1 to 9 of a command frame: everything but the start, the sequence
// number (which counts every frame since the connector was made) and the
// check byte over it.
using Payload = std::array<std::uint8_t, 9>;
Payload payload(const ReceivedFrame& frame) {
  Payload out{};
  std::copy(frame.bytes.begin() + 1, frame.bytes.begin() + 10, out.begin());
  return out;
}

// The commands in the order they changed: timing decides how often each
// one repeats, never which come and in what order.
std::vector<Payload> changes(const std::vector<ReceivedFrame>& frames) {
  std::vector<Payload> out;
  for (const ReceivedFrame& f : frames) {
    if (out.empty() || out.back() != payload(f)) {
      out.push_back(payload(f));
    }
  }
  return out;
}

bool atRestWithMark(const ReceivedFrame& f) {
  return f.bytes[3] == 0 && f.bytes[4] == 0 && f.bytes[9] == kRestMark;
}

struct Outcome {
  std::vector<std::string> lines;  // standard output
  std::string errors;              // standard error
  int exitCode = -1;
  bool has(const std::string& line) const {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  }
};
struct DriveRun : Outcome {
  std::vector<ReceivedFrame> frames;
  std::size_t silenceAt = 0;  // index of the first frame after the board fell silent
};

class WindowsComPort : public testing::Test {
 protected:
  void SetUp() override {
    const char* config = std::getenv("TOLVARINE_WINDOWS_TEST_CONFIG");
    if (config == nullptr || *config == '\0') {
      GTEST_SKIP() << "TOLVARINE_WINDOWS_TEST_CONFIG names no Windows build";
    }
    // drive=, prefix=, dll_dirs= lines, written by the Windows build.
    std::map<std::string, std::string> settings = tolvarine_tools::readSettings(config);
    ASSERT_FALSE(settings["drive"].empty()) << "no Windows build's settings in " << config;
    drive_ = settings["drive"];
    boxProbe_ = settings["box_probe"];
    prefix_ = std::make_unique<WinePrefix>(TOLVARINE_WINE_RUN, settings);
    std::string reason;
    bool skipped = false;
    if (!prefix_->prepare(drive_, reason, skipped)) {
      if (skipped) {
        GTEST_SKIP() << reason;
      }
      FAIL() << "the Wine prefix could not be made: " << reason;
    }
  }

  std::string log(const std::string& name) const {
    const auto* info = testing::UnitTest::GetInstance()->current_test_info();
    return std::string(TOLVARINE_TEST_WORK_DIR) + "/" + info->name() + "." + name + ".log";
  }

  // Runs `argv` to its end; `talk`, if given, speaks with it, else its input
  // is closed at once.
  Outcome run(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
              const std::string& name, const std::function<void(PipedProcess&)>& talk = {}) {
    Outcome out;
    const std::string errorLog = log(name);
    std::remove(errorLog.c_str());
    PipedProcess program;
    std::string error;
    if (!program.startPiped(argv, environment, errorLog, &error)) {
      ADD_FAILURE() << error;
      return out;
    }
    talk ? talk(program) : program.closeInput();
    // Its few lines fit in the pipe: read once it has ended.
    if (!program.waitFor(kPatience)) {
      ADD_FAILURE() << name << ": still running after " << kPatience.count() << " s";
      program.kill();
    }
    std::string line;
    while (program.readLine(line, 100ms)) {  // till it is empty: Wine's server may keep it open
    }
    out.lines = program.linesRead();
    out.exitCode = program.exitCode();
    out.errors = readFile(errorLog);
    return out;
  }

  // Runs the drive script of com_port_drive against `board`: silences the
  // board when the program says so, and tells it once the chair is at rest.
  DriveRun drive(SimulatedBoard& board, const std::vector<std::string>& argv,
                 const std::string& name) {
    DriveRun result;
    static_cast<Outcome&>(result) =
        run(argv, {"TOLVARINE_MESSAGE_BOX=off"}, name, [&](PipedProcess& p) {
          std::string line;
          for (const char* expected : {"connected", "arc", "spin", "straight", "silence"}) {
            if (!p.readLine(line, kPatience) || line != expected) {
              ADD_FAILURE() << name << ": expected '" << expected << "', got '" << line << "'";
              return p.kill();
            }
          }
          result.silenceAt = board.frameCount();
          board.setSilent(true);
          EXPECT_TRUE(p.readLine(line, kPatience) && line == "lost")
              << name << ": the program did not see the link lost; it said '" << line << "'";
          // The board's record, not the program, says when the chair is at rest.
          const bool rested = test_support::eventually(
              [&] {
                const std::vector<ReceivedFrame> frames = board.framesFrom(result.silenceAt);
                return std::any_of(frames.begin(), frames.end(), atRestWithMark);
              },
              kPatience);
          EXPECT_TRUE(rested) << name << ": the chair was not brought to rest after the link loss";
          p.writeLine(rested ? "rested" : "not rested");
          p.closeInput();
        });
    // The stop frame written on the way out may still be on its way.
    board.waitForClient(false, kPatience);
    result.frames = board.frames();
    return result;
  }

  std::string drive_;
  std::string boxProbe_;
  std::unique_ptr<WinePrefix> prefix_;
};

// What every run must show, on either platform.
void checkRun(const DriveRun& run, const std::string& name) {
  SCOPED_TRACE(name + "; its standard error:\n" + run.errors);
  EXPECT_EQ(run.exitCode, 0);
  ASSERT_GT(run.frames.size(), 150u) << "too few frames for the script";
  // The handshake is the connector's first frame: a stop command numbered 11.
  EXPECT_TRUE(isStopCommand(run.frames.front()));
  EXPECT_EQ(run.frames.front().bytes[10], 11);
  for (std::size_t i = 0; i < run.frames.size(); ++i) {
    ASSERT_TRUE(run.frames[i].valid) << "frame " << i << " has a bad start or check byte";
    if (i > 0) {
      // Sequence numbers run 11 ... 109, 10, 11: no frame lost or doubled.
      const int expected =
          run.frames[i - 1].bytes[10] == 109 ? 10 : run.frames[i - 1].bytes[10] + 1;
      ASSERT_EQ(run.frames[i].bytes[10], expected) << "frame " << i;
    }
  }
  // The 30 ms cycle, from the frame count over the driving part (at least
  // 120 cycles); generous, as the machine may be busy.
  ASSERT_GT(run.silenceAt, 130u);
  const std::size_t first = 10;
  const std::size_t last = run.silenceAt - 1;
  const double periodMs =
      std::chrono::duration<double, std::milli>(run.frames[last].at - run.frames[first].at)
          .count() /
      static_cast<double>(last - first);
  EXPECT_GT(periodMs, 28.5);
  EXPECT_LT(periodMs, 33.0);
  // Driving when the board fell silent (the rest after the loss is waited
  // for in drive()), and the last frame on the wire is the stop command.
  EXPECT_NE(run.frames[run.silenceAt].bytes[3], 0) << "not driving when the board fell silent";
  EXPECT_TRUE(isStopCommand(run.frames.back()));
}

TEST_F(WindowsComPort, DrivesTheChairThroughCom3AsOnLinux) {
  SimulatedBoard linuxBoard;
  ASSERT_TRUE(linuxBoard.start());
  const DriveRun onLinux =
      drive(linuxBoard, {TOLVARINE_NATIVE_DRIVE, linuxBoard.devicePath(), "drive"}, "linux");
  checkRun(onLinux, "on Linux");

  SimulatedBoard windowsBoard;
  ASSERT_TRUE(windowsBoard.start());
  std::string error;
  const std::string port = prefix_->mapComPort(3, windowsBoard.devicePath(), &error);
  ASSERT_EQ(port, "COM3") << error;
  const DriveRun onWindows = drive(windowsBoard, prefix_->command(drive_, {port, "drive"}), "wine");
  prefix_->unmapComPort(3);
  checkRun(onWindows, "on Windows under Wine");

  // Byte for byte the same commands, in the same order.
  const std::vector<Payload> expected = changes(onLinux.frames);
  const std::vector<Payload> actual = changes(onWindows.frames);
  // Rest, the ramps of the arc, the spin and the straight run, and the
  // ramp down: far more than a handful of changes.
  EXPECT_GT(expected.size(), 40u);
  ASSERT_EQ(actual.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    ASSERT_EQ(actual[i], expected[i]) << "change " << i;
  }
}

TEST_F(WindowsComPort, DeviceNameFormsOpenAndAMissingPortFailsWithItsReason) {
  SimulatedBoard board;
  ASSERT_TRUE(board.start());
  std::string error;
  ASSERT_EQ(prefix_->mapComPort(10, board.devicePath(), &error), "COM10") << error;
  // From COM10 on, Windows opens a port only by its device name.
  const Outcome opened = run(prefix_->command(drive_, {"\\\\.\\COM10", "open"}), {}, "device_form");
  EXPECT_EQ(opened.exitCode, 0) << opened.errors;
  EXPECT_TRUE(opened.has("connected")) << opened.errors;
  board.waitForClient(false, kPatience);
  const std::vector<ReceivedFrame> frames = board.frames();
  ASSERT_GT(frames.size(), 10u);
  EXPECT_TRUE(isStopCommand(frames.back()));
  prefix_->unmapComPort(10);

  // A port that is not there: the reason on the console, and no hang on a
  // message box with no display to show it on (TOLVARINE_MESSAGE_BOX is not
  // set here).
  prefix_->unmapComPort(9);
  const Outcome missing = run(prefix_->command(drive_, {"COM9", "open"}), {}, "missing");
  EXPECT_EQ(missing.exitCode, 3);
  EXPECT_TRUE(missing.has("initialize failed"));
  // ERROR_FILE_NOT_FOUND, with the port's name and the system's words.
  EXPECT_NE(
      missing.errors.find(u8"\u30DD\u30FC\u30C8\u30AA\u30FC\u30D7\u30F3\u5931\u6557 CODE=2 COM9: "),
      std::string::npos)
      << missing.errors;
  EXPECT_NE(missing.errors.find("connector error: serial port can not open"), std::string::npos)
      << missing.errors;
}

TEST_F(WindowsComPort, MessageBoxWaitsOnADesktopUnlessTheRunIsUnattended) {
  const std::string xvfb = "/usr/bin/Xvfb";
  if (access(xvfb.c_str(), X_OK) != 0) {
    GTEST_SKIP()
        << "Xvfb not found; Debian's xvfb provides it (scripts/install-deps.sh installs it)";
  }
  // A desktop of its own, on a display number the server picks.
  PipedProcess server;
  std::string error;
  ASSERT_TRUE(
      server.startPiped({xvfb, "-displayfd", "1", "-nolisten", "tcp", "-screen", "0", "800x600x24"},
                        {}, log("xvfb"), &error))
      << error;
  std::string number;
  ASSERT_TRUE(server.readLine(number, kPatience))
      << "Xvfb did not start: " << readFile(log("xvfb"));
  const std::string display = ":" + number;
  // Wine settles a prefix's desktop when its server starts, and every
  // program of the prefix shares it while the server runs: the other tests'
  // prefix has none. This one gets a prefix of its own.
  WinePrefix desktop(TOLVARINE_WINE_RUN, prefix_->path() + "-desktop", prefix_->dllDirs());
  std::string reason;
  bool skipped = false;
  ASSERT_TRUE(desktop.prepare(boxProbe_, reason, skipped)) << reason;
  desktop.unmapComPort(9);

  ::unsetenv("TOLVARINE_MESSAGE_BOX");
  const Outcome shown = run(desktop.command(boxProbe_, {"COM9"}, display), {}, "desktop");
  // Shown, modal: initialize waited until the box was dismissed.
  EXPECT_TRUE(shown.has(u8"box: \u30DD\u30FC\u30C8\u30AA\u30FC\u30D7\u30F3\u5931\u6557 CODE=2"))
      << shown.errors;
  EXPECT_TRUE(shown.has("dismissed while initialize waited")) << shown.errors;
  EXPECT_TRUE(shown.has("initialize failed"));

  const Outcome unattended = run(desktop.command(boxProbe_, {"COM9"}, display),
                                 {"TOLVARINE_MESSAGE_BOX=off"}, "unattended");
  EXPECT_TRUE(unattended.has("no box")) << unattended.errors;
  EXPECT_TRUE(unattended.has("initialize failed"));
  EXPECT_NE(unattended.errors.find("CODE=2 COM9: "), std::string::npos) << unattended.errors;
  server.kill();
}

}  // namespace
