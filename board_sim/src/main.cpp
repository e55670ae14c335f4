// tolvarine-board-sim: plays the wheelchair's control board on a
// pseudo-terminal until interrupted, so the controller, its tools and the
// component run without a wheelchair.

#include <pthread.h>
#include <signal.h>
#include <time.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "tolvarine_board_sim/simulated_board.h"

namespace {

using namespace std::chrono_literals;
using tolvarine_board_sim::BoardOptions;
using tolvarine_board_sim::Clock;
using tolvarine_board_sim::SimulatedBoard;

constexpr const char* kProgram = "tolvarine-board-sim";

void printHelp(std::ostream& out) {
  out << "Usage: " << kProgram << " [options]\n"
      << "\n"
      << "Plays the wheelchair's control board on a pseudo-terminal: answers every\n"
      << "valid 12-byte command frame with a 9-byte status frame and drives a\n"
      << "simulated chair with the commanded wheel speeds. The first line on standard\n"
      << "output is the device to open. Runs until SIGINT or SIGTERM (or --duration),\n"
      << "then removes its link, flushes its logs, prints a summary on standard error\n"
      << "and exits 0. Bad options exit 2.\n"
      << "\n"
      << "Device and run:\n"
      << "  --link PATH            also make PATH a symlink to the device (removed on exit)\n"
      << "  --duration SECONDS     stop by itself after this long\n"
      << "  --help                 this text\n"
      << "\n"
      << "Logs:\n"
      << "  --pose-log FILE        CSV of the true pose:\n"
      << "                         time_s,x_m,y_m,theta_rad,distance_m,right_mps,left_mps\n"
      << "  --pose-interval-ms MS  pose log interval (default 10)\n"
      << "  --frame-log FILE       CSV of every received command frame:\n"
      << "                         time_s,bytes,valid (time since start, hex bytes, 1/0)\n"
      << "\n"
      << "Motor model (per wheel):\n"
      << "  --max-accel MPS2       acceleration limit in m/s^2; 0 = at once (default 1.5)\n"
      << "  --lag SECONDS          first-order lag time constant (default 0 = none)\n"
      << "  --step SECONDS         integration step (default 0.001)\n"
      << "  --round-counts         round every wheel-count report on its own instead of\n"
      << "                         carrying the fraction into the next (biased odometry)\n"
      << "  --watchdog-ms MS       stop the motors after MS without a valid frame\n"
      << "                         (default 0 = the last command stays in force)\n"
      << "\n"
      << "Faults (BYTES is a comma-separated list, each 0xHH or decimal):\n"
      << "  --reply-delay-ms MS    time from a command frame to its reply (default 2)\n"
      << "  --status B1,B2         status bytes 1 and 2 (default 0x41,0x41; 0x60-0x6F\n"
      << "                         read as parity warning, 0x70-0x7F as parity error)\n"
      << "  --silent               never answer\n"
      << "  --stop-after N         answer N frames, then fall silent\n"
      << "  --resume-after-ms MS   answer again MS after falling silent\n"
      << "  --drop-every N         leave every N-th reply out\n"
      << "  --corrupt-every N      send every N-th reply with a wrong check byte\n"
      << "  --split N:GAP_MS       write each reply as N bytes, a pause, then the rest\n"
      << "  --stray BYTES          write BYTES once before the first reply\n"
      << "  --stray-every N[:BYTES]  write BYTES (default 0x55) before every N-th reply\n"
      << "  --noise-every N[:MAX]  write 1 to MAX (default 5) random bytes 3 ms after\n"
      << "                         every N-th reply\n";
}

// ---- Parsing --------------------------------------------------------------

bool parseUnsigned(const std::string& text, unsigned long long max, unsigned long long& out) {
  if (text.empty() || text[0] == '-' || text[0] == '+') {
    return false;
  }
  char* end = nullptr;
  errno = 0;
  const unsigned long long value = std::strtoull(text.c_str(), &end, 0);
  if (errno != 0 || end == text.c_str() || *end != '\0' || value > max) {
    return false;
  }
  out = value;
  return true;
}

bool parseDouble(const std::string& text, double& out) {
  if (text.empty()) {
    return false;
  }
  char* end = nullptr;
  errno = 0;
  const double value = std::strtod(text.c_str(), &end);
  if (errno != 0 || end == text.c_str() || *end != '\0' || !std::isfinite(value)) {
    return false;
  }
  out = value;
  return true;
}

bool parseBytes(const std::string& text, std::vector<std::uint8_t>& out) {
  out.clear();
  std::stringstream in(text);
  std::string item;
  while (std::getline(in, item, ',')) {
    unsigned long long value = 0;
    if (!parseUnsigned(item, 255, value)) {
      return false;
    }
    out.push_back(static_cast<std::uint8_t>(value));
  }
  return !out.empty() && text.back() != ',';
}

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

// Fills `settings` from the command line. Returns 0 to run, 1 after --help,
// 2 on a bad option (with the reason in `error`).
int parseArguments(int argc, char** argv, Settings& settings, std::string& error) {
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    if (option == "--help" || option == "-h") {
      return 1;
    }
    auto value = [&](std::string& out) {
      if (i + 1 >= argc) {
        error = option + " needs a value";
        return false;
      }
      out = argv[++i];
      return true;
    };
    auto bad = [&](const std::string& text, const char* expected) {
      error = "bad value '" + text + "' for " + option + " (expected " + expected + ")";
      return 2;
    };
    std::string text;
    unsigned long long count = 0;
    double number = 0.0;

    if (option == "--silent") {
      settings.silent = true;
    } else if (option == "--round-counts") {
      settings.options.carryCountFraction = false;
    } else if (option == "--link") {
      if (!value(settings.link))
        return 2;
      if (settings.link.empty())
        return bad(settings.link, "a path");
    } else if (option == "--pose-log") {
      if (!value(settings.poseLog))
        return 2;
      if (settings.poseLog.empty())
        return bad(settings.poseLog, "a file name");
    } else if (option == "--frame-log") {
      if (!value(settings.frameLog))
        return 2;
      if (settings.frameLog.empty())
        return bad(settings.frameLog, "a file name");
    } else if (option == "--duration") {
      if (!value(text))
        return 2;
      if (!parseDouble(text, number) || number <= 0.0)
        return bad(text, "seconds > 0");
      settings.duration = number;
    } else if (option == "--pose-interval-ms") {
      if (!value(text))
        return 2;
      if (!parseUnsigned(text, 60000, count) || count == 0)
        return bad(text, "1 to 60000");
      settings.poseIntervalMs = static_cast<unsigned>(count);
    } else if (option == "--max-accel") {
      if (!value(text))
        return 2;
      if (!parseDouble(text, number) || number < 0.0)
        return bad(text, "m/s^2 >= 0");
      settings.options.maxAcceleration = number;
    } else if (option == "--lag") {
      if (!value(text))
        return 2;
      if (!parseDouble(text, number) || number < 0.0)
        return bad(text, "seconds >= 0");
      settings.options.lagTimeConstant = number;
    } else if (option == "--step") {
      if (!value(text))
        return 2;
      if (!parseDouble(text, number) || number < 1e-5 || number > 0.1) {
        return bad(text, "seconds from 0.00001 to 0.1");
      }
      settings.options.integrationStep = number;
    } else if (option == "--watchdog-ms") {
      if (!value(text))
        return 2;
      if (!parseUnsigned(text, 3600000, count))
        return bad(text, "milliseconds");
      settings.options.commandWatchdog = std::chrono::milliseconds(count);
    } else if (option == "--reply-delay-ms") {
      if (!value(text))
        return 2;
      if (!parseDouble(text, number) || number < 0.0 || number > 10000.0) {
        return bad(text, "milliseconds from 0 to 10000");
      }
      settings.options.replyDelay = std::chrono::microseconds(std::llround(number * 1000.0));
    } else if (option == "--status") {
      if (!value(text))
        return 2;
      std::vector<std::uint8_t> bytes;
      if (!parseBytes(text, bytes) || bytes.size() != 2)
        return bad(text, "two bytes B1,B2");
      settings.options.status1 = bytes[0];
      settings.options.status2 = bytes[1];
    } else if (option == "--stop-after") {
      if (!value(text))
        return 2;
      if (!parseUnsigned(text, UINT64_MAX, count))
        return bad(text, "a count");
      settings.stopAfter = count;
    } else if (option == "--resume-after-ms") {
      if (!value(text))
        return 2;
      if (!parseUnsigned(text, 3600000, count))
        return bad(text, "milliseconds");
      settings.resumeAfterMs = static_cast<unsigned>(count);
    } else if (option == "--drop-every") {
      if (!value(text))
        return 2;
      if (!parseUnsigned(text, 1000000, count) || count == 0)
        return bad(text, "a count >= 1");
      settings.dropEvery = static_cast<unsigned>(count);
    } else if (option == "--corrupt-every") {
      if (!value(text))
        return 2;
      if (!parseUnsigned(text, 1000000, count) || count == 0)
        return bad(text, "a count >= 1");
      settings.corruptEvery = static_cast<unsigned>(count);
    } else if (option == "--split") {
      if (!value(text))
        return 2;
      const auto colon = text.find(':');
      unsigned long long gap = 0;
      if (colon == std::string::npos || !parseUnsigned(text.substr(0, colon), 8, count) ||
          count == 0 || !parseUnsigned(text.substr(colon + 1), 10000, gap)) {
        return bad(text, "N:GAP_MS with N from 1 to 8");
      }
      settings.splitFirst = static_cast<std::size_t>(count);
      settings.splitGapMs = static_cast<unsigned>(gap);
    } else if (option == "--stray") {
      if (!value(text))
        return 2;
      if (!parseBytes(text, settings.strayOnce))
        return bad(text, "bytes B1,B2,...");
    } else if (option == "--stray-every") {
      if (!value(text))
        return 2;
      const auto colon = text.find(':');
      if (!parseUnsigned(text.substr(0, colon), 1000000, count) || count == 0) {
        return bad(text, "N[:BYTES] with N >= 1");
      }
      if (colon != std::string::npos &&
          !parseBytes(text.substr(colon + 1), settings.strayEveryBytes)) {
        return bad(text, "N[:BYTES] with bytes B1,B2,...");
      }
      settings.strayEvery = static_cast<unsigned>(count);
    } else if (option == "--noise-every") {
      if (!value(text))
        return 2;
      const auto colon = text.find(':');
      if (!parseUnsigned(text.substr(0, colon), 1000000, count) || count == 0 ||
          (colon != std::string::npos &&
           (!parseUnsigned(text.substr(colon + 1), 64, settings.noiseMaxBytes) ||
            settings.noiseMaxBytes == 0))) {
        return bad(text, "N[:MAX] with N >= 1 and MAX from 1 to 64");
      }
      settings.noiseEvery = static_cast<unsigned>(count);
    } else {
      error = "unknown option '" + option + "'";
      return 2;
    }
  }
  if (settings.resumeAfterMs && !settings.silent && !settings.stopAfter) {
    error = "--resume-after-ms needs --silent or --stop-after";
    return 2;
  }
  return 0;
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
  std::string error;
  const int parsed = parseArguments(argc, argv, settings, error);
  if (parsed == 1) {
    printHelp(std::cout);
    return 0;
  }
  if (parsed != 0) {
    std::cerr << kProgram << ": " << error << " (see --help)" << std::endl;
    return 2;
  }

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
