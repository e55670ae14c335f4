// tolvarine-board-sim: plays the wheelchair's control board on a
// pseudo-terminal until interrupted, so the controller, its tools and the
// component run without a wheelchair.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <functional>
#include <iomanip>
#include <iostream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "command_line.h"
#include "stop_signals.h"
#include "tolvarine_board_sim/simulated_board.h"

namespace {

using namespace std::chrono_literals;
using tolvarine_board_sim::BoardOptions;
using tolvarine_board_sim::Clock;
using tolvarine_board_sim::SimulatedBoard;
using tolvarine_tools::badValue;
using tolvarine_tools::number;
using tolvarine_tools::parseBytes;
using tolvarine_tools::parseUnsigned;
using tolvarine_tools::whole;

constexpr const char* kProgram = "tolvarine-board-sim";

// What the command line asks for beyond the board's own options.
struct Settings {
  BoardOptions options;
  std::string link;
  std::optional<double> duration;
  std::string poseLog;
  unsigned poseIntervalMs = 10;
  std::string frameLog;
  bool silent = false;
  std::optional<std::uint64_t> stopAfter;
  std::optional<unsigned> resumeAfterMs;
  unsigned dropEvery = 0;
  unsigned corruptEvery = 0;
  std::size_t splitFirst = 0;
  unsigned splitGapMs = 0;
  std::vector<std::uint8_t> strayOnce;
  unsigned strayEvery = 0;
  std::vector<std::uint8_t> strayEveryBytes{0x55};
  unsigned noiseEvery = 0;
  unsigned long long noiseMaxBytes = 5;
};

// "N" or "N:REST" with N from 1 to `max`; REST (when given) to `rest`.
bool countAndRest(const std::string& text, unsigned long long max, unsigned& count,
                  std::string* rest) {
  const auto colon = text.find(':');
  unsigned long long n = 0;
  if (!parseUnsigned(text.substr(0, colon), max, n) || n == 0) {
    return false;
  }
  count = static_cast<unsigned>(n);
  if (colon != std::string::npos) {
    *rest = text.substr(colon + 1);
  }
  return true;
}

// Options whose value is more than one number: checked and stored here.
CLI::Validator into(const std::string& expected, std::function<bool(const std::string&)> take) {
  return CLI::Validator(
      [=](std::string& text) { return take(text) ? std::string() : badValue(text, expected); }, "");
}

// An option that takes a value: the value's name in the help, and its check.
template <typename T>
CLI::Option* addValue(CLI::App& app, const std::string& name, T& value, const std::string& help,
                      const std::string& valueName, const CLI::Validator& check) {
  return app.add_option(name, value, help)->option_text(valueName)->check(check);
}

// The command line into `s`: -1 to go on, else the exit status.
int parseSettings(int argc, char** argv, Settings& s) {
  CLI::App app("", kProgram);
  app.description(
      "Plays the wheelchair's control board on a pseudo-terminal: answers every valid 12-byte "
      "command frame with a 9-byte status frame and drives a simulated chair with the commanded "
      "wheel speeds. The first line on standard output is the device to open. Runs until SIGINT "
      "or SIGTERM (or --duration), then removes its link, flushes its logs, prints a summary on "
      "standard error and exits 0. Bad options exit 2.");
  app.footer("BYTES is a comma-separated list, each 0xHH or decimal.");
  BoardOptions& o = s.options;
  app.option_defaults()->group("Device and run");
  app.add_option("--link", s.link, "also make PATH a symlink to the device (removed on exit)")
      ->option_text("PATH");
  addValue(app, "--duration", s.duration, "stop by itself after this long", "SECONDS",
           number(1e-9, 1e9, "seconds > 0"));
  app.option_defaults()->group("Logs");
  app.add_option("--pose-log", s.poseLog,
                 "CSV of the true pose: time_s,x_m,y_m,theta_rad,distance_m,right_mps,left_mps")
      ->option_text("FILE");
  addValue(app, "--pose-interval-ms", s.poseIntervalMs, "pose log interval (default 10)", "MS",
           whole(1, 60000, "1 to 60000"));
  app.add_option("--frame-log", s.frameLog,
                 "CSV of every received command frame: time_s,bytes,valid (time since start, hex "
                 "bytes, 1/0)")
      ->option_text("FILE");
  app.option_defaults()->group("Motor model (per wheel)");
  addValue(app, "--max-accel", o.maxAcceleration,
           "acceleration limit in m/s^2; 0 = at once (default 1.5)", "MPS2",
           number(0, 1e9, "m/s^2 >= 0"));
  addValue(app, "--lag", o.lagTimeConstant, "first-order lag time constant (default 0 = none)",
           "SECONDS", number(0, 1e9, "seconds >= 0"));
  addValue(app, "--step", o.integrationStep, "integration step (default 0.001)", "SECONDS",
           number(1e-5, 0.1, "seconds from 0.00001 to 0.1"));
  app.add_flag(
      "--round-counts", [&o](std::int64_t) { o.carryCountFraction = false; },
      "round every wheel-count report on its own instead of carrying the fraction into the next "
      "(biased odometry)");
  app.add_option_function<unsigned long long>(
         "--watchdog-ms", [&o](unsigned long long ms) { o.commandWatchdog = 1ms * ms; },
         "stop the motors after MS without a valid frame (default 0 = the last command stays in "
         "force)")
      ->option_text("MS")
      ->check(whole(0, 3600000, "milliseconds"));
  app.option_defaults()->group("Faults");
  app.add_option_function<double>(
         "--reply-delay-ms",
         [&o](double ms) { o.replyDelay = std::chrono::microseconds(std::llround(ms * 1000.0)); },
         "time from a command frame to its reply (default 2)")
      ->option_text("MS")
      ->check(number(0, 10000, "milliseconds from 0 to 10000"));
  app.add_option("--status",
                 "status bytes 1 and 2 (default 0x41,0x41; 0x60-0x6F read as parity warning, "
                 "0x70-0x7F as parity error)")
      ->option_text("B1,B2")
      ->check(into("two bytes B1,B2", [&o](const std::string& text) {
        std::vector<std::uint8_t> bytes;
        if (!parseBytes(text, bytes) || bytes.size() != 2) {
          return false;
        }
        o.status1 = bytes[0];
        o.status2 = bytes[1];
        return true;
      }));
  app.add_flag("--silent", s.silent, "never answer");
  addValue(app, "--stop-after", s.stopAfter, "answer N frames, then fall silent", "N",
           whole(0, UINT64_MAX, "a count"));
  auto* resume = addValue(app, "--resume-after-ms", s.resumeAfterMs,
                          "answer again MS after falling silent (with --silent or "
                          "--stop-after)",
                          "MS", whole(0, 3600000, "milliseconds"));
  addValue(app, "--drop-every", s.dropEvery, "leave every N-th reply out", "N",
           whole(1, 1000000, "a count >= 1"));
  addValue(app, "--corrupt-every", s.corruptEvery, "send every N-th reply with a wrong check byte",
           "N", whole(1, 1000000, "a count >= 1"));
  app.add_option("--split", "write each reply as N bytes, a pause, then the rest")
      ->option_text("N:GAP_MS")
      ->check(into("N:GAP_MS with N from 1 to 8", [&s](const std::string& text) {
        unsigned n = 0;
        std::string gap;
        unsigned long long ms = 0;
        if (!countAndRest(text, 8, n, &gap) || !parseUnsigned(gap, 10000, ms)) {
          return false;
        }
        s.splitFirst = n;
        s.splitGapMs = static_cast<unsigned>(ms);
        return true;
      }));
  app.add_option("--stray", "write BYTES once before the first reply")
      ->option_text("BYTES")
      ->check(into("bytes B1,B2,...",
                   [&s](const std::string& text) { return parseBytes(text, s.strayOnce); }));
  app.add_option("--stray-every", "write BYTES (default 0x55) before every N-th reply")
      ->option_text("N[:BYTES]")
      ->check(into("N[:BYTES] with N >= 1 and bytes B1,B2,...", [&s](const std::string& text) {
        std::string bytes;
        return countAndRest(text, 1000000, s.strayEvery, &bytes) &&
               (bytes.empty() || parseBytes(bytes, s.strayEveryBytes));
      }));
  app.add_option("--noise-every",
                 "write 1 to MAX (default 5) random bytes 3 ms after every N-th reply")
      ->option_text("N[:MAX]")
      ->check(into("N[:MAX] with N >= 1 and MAX from 1 to 64", [&s](const std::string& text) {
        std::string max;
        return countAndRest(text, 1000000, s.noiseEvery, &max) &&
               (max.empty() || (parseUnsigned(max, 64, s.noiseMaxBytes) && s.noiseMaxBytes > 0));
      }));
  app.callback([&s, resume] {
    if (resume->count() > 0 && !s.silent && !s.stopAfter) {
      throw CLI::ValidationError("--resume-after-ms needs --silent or --stop-after");
    }
  });
  return tolvarine_tools::parseCommandLine(app, argc, argv);
}

// A CSV log with its header line; nothing to do for an empty path.
bool openLog(std::ofstream& log, const std::string& path, const char* what, const char* header) {
  if (path.empty()) {
    return true;
  }
  log.open(path, std::ios::out | std::ios::trunc);
  if (!log) {
    std::cerr << kProgram << ": cannot write the " << what << " log " << path << std::endl;
    return false;
  }
  log << header << '\n' << std::fixed << std::setprecision(6);
  return true;
}

void logPose(std::ofstream& log, const tolvarine_board_sim::ChairState& state) {
  const auto& pose = state.pose;
  log << pose.time << ',' << pose.x << ',' << pose.y << ',' << pose.theta << ',' << pose.distance
      << ',' << state.motors.right << ',' << state.motors.left << std::endl;
}

// Every frame received since the last call.
void logFrames(std::ofstream& log, const SimulatedBoard& board, std::size_t& logged) {
  const auto frames = board.framesFrom(logged);
  tolvarine_board_sim::writeFrameLog(log, frames, board.startedAt());
  logged += frames.size();
  log.flush();
}

}  // namespace

int main(int argc, char** argv) {
  Settings settings;
  if (const int status = parseSettings(argc, argv, settings); status >= 0) {
    return status;
  }
  std::ofstream poseLog;
  std::ofstream frameLog;
  if (!openLog(poseLog, settings.poseLog, "pose",
               "time_s,x_m,y_m,theta_rad,distance_m,right_mps,left_mps") ||
      !openLog(frameLog, settings.frameLog, "frame", tolvarine_board_sim::kFrameLogHeader)) {
    return 1;
  }
  tolvarine_tools::installStopHandlers();

  SimulatedBoard board(settings.options);
  board.setSilent(settings.silent);
  if (settings.stopAfter)
    board.stopAnsweringAfter(*settings.stopAfter);
  board.setDropEvery(settings.dropEvery);
  board.setCorruptEvery(settings.corruptEvery);
  board.setSplitReply(settings.splitFirst, std::chrono::milliseconds(settings.splitGapMs));
  board.sendStrayBytes(settings.strayOnce);
  board.setStrayEvery(settings.strayEvery, settings.strayEveryBytes);
  board.setNoiseAfterEvery(settings.noiseEvery, static_cast<std::size_t>(settings.noiseMaxBytes));

  std::string error;
  if (!board.start(&error)) {
    std::cerr << kProgram << ": cannot create the pseudo-terminal: " << error << std::endl;
    return 1;
  }
  if (!settings.link.empty() && !board.createLink(settings.link, &error)) {
    std::cerr << kProgram << ": cannot make the link: " << error << std::endl;
    return 1;  // the board's destructor stops it
  }
  std::cout << board.devicePath() << std::endl;

  const Clock::time_point started = board.startedAt();
  const auto interval = std::chrono::milliseconds(settings.poseIntervalMs);
  Clock::time_point nextPose = started;
  std::optional<Clock::time_point> end;
  if (settings.duration) {
    end = started + std::chrono::duration_cast<Clock::duration>(
                        std::chrono::duration<double>(*settings.duration));
  }
  std::optional<Clock::time_point> silentSince;
  if (settings.silent || settings.stopAfter == std::uint64_t{0}) {
    silentSince = started;
  }
  bool resumed = false;
  std::size_t framesLogged = 0;

  // A signal is seen within one pause: at most 50 ms, 10 ms while logging frames or resuming.
  for (auto now = Clock::now(); tolvarine_tools::stopSignals() == 0 && !(end && now >= *end);
       now = Clock::now()) {
    if (poseLog.is_open() && now >= nextPose) {
      logPose(poseLog, board.state());
      // A fixed grid; after a stall, pick up at the next point rather than
      // writing a burst of rows with the same pose.
      nextPose += interval;
      if (nextPose <= now) {
        nextPose = now + interval;
      }
    }
    if (frameLog.is_open()) {
      logFrames(frameLog, board, framesLogged);
    }
    if (settings.resumeAfterMs && !resumed) {
      if (!silentSince && settings.stopAfter && board.replyCount() >= *settings.stopAfter) {
        silentSince = now;
      }
      if (silentSince && now - *silentSince >= std::chrono::milliseconds(*settings.resumeAfterMs)) {
        board.resumeAnswering();
        resumed = true;
      }
    }
    Clock::time_point wake = std::min(now + 50ms, end.value_or(Clock::time_point::max()));
    if (poseLog.is_open())
      wake = std::min(wake, nextPose);
    if (frameLog.is_open() || settings.resumeAfterMs)
      wake = std::min(wake, now + 10ms);
    std::this_thread::sleep_until(wake);
  }

  board.stop();
  if (frameLog.is_open()) {
    logFrames(frameLog, board, framesLogged);
  }
  const auto state = board.state();
  if (poseLog.is_open()) {
    logPose(poseLog, state);
  }
  std::cerr << std::fixed << std::setprecision(3) << kProgram << ": "
            << (tolvarine_tools::stopSignals() != 0 ? "stopped by signal" : "run complete")
            << "; frames " << board.validFrameCount() << ", bad frames " << board.badFrameCount()
            << ", replies " << board.replyCount() << "; pose x " << state.pose.x << " m, y "
            << state.pose.y << " m, theta " << state.pose.theta << " rad, distance "
            << state.pose.distance << " m after " << state.pose.time << " s" << std::endl;
  return 0;
}
