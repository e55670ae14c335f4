// tolvarine-board-sim: plays the wheelchair's control board on a
// pseudo-terminal until interrupted, so the controller, its tools and the
// component run without a wheelchair.

#include <pthread.h>
#include <signal.h>
#include <time.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iomanip>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "command_line.h"
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

void addOptions(CLI::App& app, Settings& s) {
  app.description(
      "Plays the wheelchair's control board on a pseudo-terminal: answers every valid 12-byte "
      "command frame with a 9-byte status frame and drives a simulated chair with the commanded "
      "wheel speeds. The first line on standard output is the device to open. Runs until SIGINT "
      "or SIGTERM (or --duration), then removes its link, flushes its logs, prints a summary on "
      "standard error and exits 0. Bad options exit 2.");
  app.footer("BYTES is a comma-separated list, each 0xHH or decimal.");
  BoardOptions& o = s.options;
  const char* run = "Device and run";
  app.add_option("--link", s.link, "also make PATH a symlink to the device (removed on exit)")
      ->option_text("PATH")
      ->group(run);
  app.add_option("--duration", s.duration, "stop by itself after this long")
      ->option_text("SECONDS")
      ->check(number(1e-9, 1e9, "seconds > 0"))
      ->group(run);
  const char* logs = "Logs";
  app.add_option("--pose-log", s.poseLog,
                 "CSV of the true pose: time_s,x_m,y_m,theta_rad,distance_m,right_mps,left_mps")
      ->option_text("FILE")
      ->group(logs);
  app.add_option("--pose-interval-ms", s.poseIntervalMs, "pose log interval (default 10)")
      ->option_text("MS")
      ->check(whole(1, 60000, "1 to 60000"))
      ->group(logs);
  app.add_option("--frame-log", s.frameLog,
                 "CSV of every received command frame: time_s,bytes,valid (time since start, hex "
                 "bytes, 1/0)")
      ->option_text("FILE")
      ->group(logs);
  const char* motors = "Motor model (per wheel)";
  app.add_option("--max-accel", o.maxAcceleration,
                 "acceleration limit in m/s^2; 0 = at once (default 1.5)")
      ->option_text("MPS2")
      ->check(number(0, 1e9, "m/s^2 >= 0"))
      ->group(motors);
  app.add_option("--lag", o.lagTimeConstant, "first-order lag time constant (default 0 = none)")
      ->option_text("SECONDS")
      ->check(number(0, 1e9, "seconds >= 0"))
      ->group(motors);
  app.add_option("--step", o.integrationStep, "integration step (default 0.001)")
      ->option_text("SECONDS")
      ->check(number(1e-5, 0.1, "seconds from 0.00001 to 0.1"))
      ->group(motors);
  app.add_flag(
         "--round-counts", [&o](std::int64_t) { o.carryCountFraction = false; },
         "round every wheel-count report on its own instead of carrying the fraction into "
         "the next (biased odometry)")
      ->group(motors);
  app.add_option_function<unsigned long long>(
         "--watchdog-ms", [&o](unsigned long long ms) { o.commandWatchdog = 1ms * ms; },
         "stop the motors after MS without a valid frame (default 0 = the last command stays in "
         "force)")
      ->option_text("MS")
      ->check(whole(0, 3600000, "milliseconds"))
      ->group(motors);
  const char* faults = "Faults";
  app.add_option_function<double>(
         "--reply-delay-ms",
         [&o](double ms) { o.replyDelay = std::chrono::microseconds(std::llround(ms * 1000.0)); },
         "time from a command frame to its reply (default 2)")
      ->option_text("MS")
      ->check(number(0, 10000, "milliseconds from 0 to 10000"))
      ->group(faults);
  app.add_option("--status",
                 "status bytes 1 and 2 (default 0x41,0x41; 0x60-0x6F read as parity warning, "
                 "0x70-0x7F as parity error)")
      ->option_text("B1,B2")
      ->check(into("two bytes B1,B2",
                   [&o](const std::string& text) {
                     std::vector<std::uint8_t> bytes;
                     if (!parseBytes(text, bytes) || bytes.size() != 2) {
                       return false;
                     }
                     o.status1 = bytes[0];
                     o.status2 = bytes[1];
                     return true;
                   }))
      ->group(faults);
  app.add_flag("--silent", s.silent, "never answer")->group(faults);
  app.add_option("--stop-after", s.stopAfter, "answer N frames, then fall silent")
      ->option_text("N")
      ->check(whole(0, UINT64_MAX, "a count"))
      ->group(faults);
  auto* resume = app.add_option("--resume-after-ms", s.resumeAfterMs,
                                "answer again MS after falling silent (with --silent or "
                                "--stop-after)")
                     ->option_text("MS")
                     ->check(whole(0, 3600000, "milliseconds"))
                     ->group(faults);
  app.add_option("--drop-every", s.dropEvery, "leave every N-th reply out")
      ->option_text("N")
      ->check(whole(1, 1000000, "a count >= 1"))
      ->group(faults);
  app.add_option("--corrupt-every", s.corruptEvery, "send every N-th reply with a wrong check byte")
      ->option_text("N")
      ->check(whole(1, 1000000, "a count >= 1"))
      ->group(faults);
  app.add_option("--split", "write each reply as N bytes, a pause, then the rest")
      ->option_text("N:GAP_MS")
      ->check(into("N:GAP_MS with N from 1 to 8",
                   [&s](const std::string& text) {
                     unsigned n = 0;
                     std::string gap;
                     unsigned long long ms = 0;
                     if (!countAndRest(text, 8, n, &gap) || !parseUnsigned(gap, 10000, ms)) {
                       return false;
                     }
                     s.splitFirst = n;
                     s.splitGapMs = static_cast<unsigned>(ms);
                     return true;
                   }))
      ->group(faults);
  app.add_option("--stray", "write BYTES once before the first reply")
      ->option_text("BYTES")
      ->check(into("bytes B1,B2,...",
                   [&s](const std::string& text) { return parseBytes(text, s.strayOnce); }))
      ->group(faults);
  app.add_option("--stray-every", "write BYTES (default 0x55) before every N-th reply")
      ->option_text("N[:BYTES]")
      ->check(into("N[:BYTES] with N >= 1 and bytes B1,B2,...",
                   [&s](const std::string& text) {
                     std::string bytes;
                     return countAndRest(text, 1000000, s.strayEvery, &bytes) &&
                            (bytes.empty() || parseBytes(bytes, s.strayEveryBytes));
                   }))
      ->group(faults);
  app.add_option("--noise-every",
                 "write 1 to MAX (default 5) random bytes 3 ms after every N-th "
                 "reply")
      ->option_text("N[:MAX]")
      ->check(into("N[:MAX] with N >= 1 and MAX from 1 to 64",
                   [&s](const std::string& text) {
                     std::string max;
                     return countAndRest(text, 1000000, s.noiseEvery, &max) &&
                            (max.empty() ||
                             (parseUnsigned(max, 64, s.noiseMaxBytes) && s.noiseMaxBytes > 0));
                   }))
      ->group(faults);
  app.callback([&s, resume] {
    if (resume->count() > 0 && !s.silent && !s.stopAfter) {
      throw CLI::ValidationError("--resume-after-ms needs --silent or --stop-after");
    }
  });
}

std::string hexBytes(const std::array<std::uint8_t, 12>& bytes) {
  static const char* digits = "0123456789ABCDEF";
  std::string out;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i > 0)
      out += ' ';
    out += digits[bytes[i] >> 4];
    out += digits[bytes[i] & 0x0F];
  }
  return out;
}

double secondsBetween(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

}  // namespace

int main(int argc, char** argv) {
  Settings settings;
  CLI::App app("", kProgram);
  addOptions(app, settings);
  if (const int status = tolvarine_tools::parseCommandLine(app, argc, argv); status >= 0) {
    return status;
  }
  std::string error;

  std::ofstream poseLog;
  if (!settings.poseLog.empty()) {
    poseLog.open(settings.poseLog, std::ios::out | std::ios::trunc);
    if (!poseLog) {
      std::cerr << kProgram << ": cannot write the pose log " << settings.poseLog << std::endl;
      return 1;
    }
    poseLog << "time_s,x_m,y_m,theta_rad,distance_m,right_mps,left_mps\n";
    poseLog << std::fixed << std::setprecision(6);
  }
  std::ofstream frameLog;
  if (!settings.frameLog.empty()) {
    frameLog.open(settings.frameLog, std::ios::out | std::ios::trunc);
    if (!frameLog) {
      std::cerr << kProgram << ": cannot write the frame log " << settings.frameLog << std::endl;
      return 1;
    }
    frameLog << "time_s,bytes,valid\n";
    frameLog << std::fixed << std::setprecision(6);
  }

  // The signals are taken synchronously below; blocked before the board's
  // thread exists, so that thread inherits the mask and never sees them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  SimulatedBoard board(settings.options);
  board.setSilent(settings.silent);
  if (settings.stopAfter)
    board.stopAnsweringAfter(*settings.stopAfter);
  board.setDropEvery(settings.dropEvery);
  board.setCorruptEvery(settings.corruptEvery);
  board.setSplitReply(settings.splitFirst, std::chrono::milliseconds(settings.splitGapMs));
  if (!settings.strayOnce.empty())
    board.sendStrayBytes(settings.strayOnce);
  if (settings.strayEvery > 0)
    board.setStrayEvery(settings.strayEvery, settings.strayEveryBytes);
  board.setNoiseAfterEvery(settings.noiseEvery, static_cast<std::size_t>(settings.noiseMaxBytes));

  if (!board.start(&error)) {
    std::cerr << kProgram << ": cannot create the pseudo-terminal: " << error << std::endl;
    return 1;
  }
  if (!settings.link.empty() && !board.createLink(settings.link, &error)) {
    std::cerr << kProgram << ": cannot make the link: " << error << std::endl;
    board.stop();
    return 1;
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
  if (settings.silent || (settings.stopAfter && *settings.stopAfter == 0)) {
    silentSince = started;
  }
  bool resumed = false;
  std::size_t framesLogged = 0;
  int caught = 0;

  while (true) {
    const auto now = Clock::now();
    if (poseLog.is_open() && now >= nextPose) {
      const auto state = board.state();
      poseLog << state.pose.time << ',' << state.pose.x << ',' << state.pose.y << ','
              << state.pose.theta << ',' << state.pose.distance << ',' << state.motors.right << ','
              << state.motors.left << '\n';
      // A fixed grid; after a stall, pick up at the next point rather than
      // writing a burst of rows with the same pose.
      nextPose += interval;
      if (nextPose <= now) {
        nextPose = now + interval;
      }
      poseLog.flush();
    }
    if (frameLog.is_open()) {
      for (const auto& frame : board.framesFrom(framesLogged)) {
        frameLog << secondsBetween(started, frame.at) << ',' << hexBytes(frame.bytes) << ','
                 << (frame.valid ? 1 : 0) << '\n';
        ++framesLogged;
      }
      frameLog.flush();
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
    if (end && now >= *end) {
      break;
    }

    Clock::time_point wake = now + 50ms;
    if (poseLog.is_open())
      wake = std::min(wake, nextPose);
    if (frameLog.is_open() || settings.resumeAfterMs)
      wake = std::min(wake, now + 10ms);
    if (end)
      wake = std::min(wake, *end);
    const auto pause = std::chrono::duration_cast<std::chrono::nanoseconds>(wake - now);
    timespec timeout{};
    if (pause.count() > 0) {
      timeout.tv_sec = static_cast<time_t>(pause.count() / 1000000000);
      timeout.tv_nsec = static_cast<long>(pause.count() % 1000000000);
    }
    const int got = sigtimedwait(&stopSignals, nullptr, &timeout);
    if (got > 0) {
      caught = got;
      break;
    }
  }

  board.stop();
  if (frameLog.is_open()) {
    for (const auto& frame : board.framesFrom(framesLogged)) {
      frameLog << secondsBetween(started, frame.at) << ',' << hexBytes(frame.bytes) << ','
               << (frame.valid ? 1 : 0) << '\n';
    }
    frameLog.close();
  }
  const auto state = board.state();
  if (poseLog.is_open()) {
    poseLog << state.pose.time << ',' << state.pose.x << ',' << state.pose.y << ','
            << state.pose.theta << ',' << state.pose.distance << ',' << state.motors.right << ','
            << state.motors.left << '\n';
    poseLog.close();
  }

  std::ostringstream summary;
  summary << std::fixed << std::setprecision(3) << kProgram << ": "
          << (caught != 0 ? "stopped by signal" : "run complete") << "; frames "
          << board.validFrameCount() << ", bad frames " << board.badFrameCount() << ", replies "
          << board.replyCount() << "; pose x " << state.pose.x << " m, y " << state.pose.y
          << " m, theta " << state.pose.theta << " rad, distance " << state.pose.distance
          << " m after " << state.pose.time << " s";
  std::cerr << summary.str() << std::endl;
  return 0;
}
