// Runs the serial connector for a few seconds with a short scripted drive
// (stop, forward, a left turn, stop) and prints what crosses the line: each
// command frame (hex) and each status record (decoded), then a summary.
//
// By default the control board is simulated in-process on a pseudo-terminal
// and the frames are shown as the board received them. With --port the
// connector drives a real device; the command frames are then shown as
// encoded when the command changes (sequence and check byte are set per frame).

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "command_line.h"
#include "connector.h"
#include "stop_signals.h"
#include "tolvarine_board_sim/simulated_board.h"
#include "tolvarine_controller/frame.h"
#include "tolvarine_controller/send_function_converter.h"

namespace {

using tolvarine_board_sim::hexBytes;
using tolvarine_board_sim::ReceivedFrame;
using tolvarine_board_sim::SimulatedBoard;
using tolvarine_controller::CommandFrame;
using tolvarine_controller::Connector;
using tolvarine_controller::ReceiveData;
using tolvarine_controller::SendData;
using tolvarine_controller::SendFunctionConverter;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

struct Options {
  double seconds = 5.0;
  std::string port;  // empty: simulated board
};

void addOptions(CLI::App& app, Options& options) {
  app.description(
      "Brings up the serial link to the wheelchair's control board (open, handshake, 30 ms "
      "communication cycle), drives a short script - stop, forward at 0.3 m/s, a left turn of 1 m "
      "radius, stop - and prints each command frame sent (hex) and each status record received "
      "(decoded), then a summary.");
  app.footer("Ctrl-C ends the script early; the link still ends with a stop command.");
  app.add_option("--seconds", options.seconds, "run time of the script (default 5)")
      ->option_text("N")
      ->check(tolvarine_tools::number(1, 600, "seconds from 1 to 600"));
  app.add_option("--port", options.port,
                 "use the device at PATH instead of the simulated board; command frames are then "
                 "shown as encoded, with the sequence and check bytes as '..' (set frame by frame)")
      ->option_text("PATH")
      ->check(CLI::Validator(
          [](std::string& path) { return path.empty() ? "needs a device path" : ""; }, ""));
}

struct Step {
  double untilFraction;  // of the run time
  const char* name;
  SendData command;
};

std::vector<Step> script() {
  SendFunctionConverter converter;
  converter.direction = -1;  // chair mounted forward
  return {
      {0.2, "stop", SendData()},
      {0.5, "forward 300 mm/s", converter.convertVRL(300.0, 300.0)},
      {0.8, "left turn, radius 1000 mm at 300 mm/s", converter.convertRV(1000.0, 300.0)},
      {1.0, "stop", SendData()},
  };
}

std::string describe(const ReceiveData& r) {
  char line[160];
  std::snprintf(line, sizeof line,
                "status %02x %02x  wheel1 %3d (%+4d)  wheel2 %3d (%+4d)  extra %02x %02x %02x  "
                "elapsed %d ms",
                r.status1, r.status2, r.wheelSpeed1, r.wheelSpeed1 - 128, r.wheelSpeed2,
                r.wheelSpeed2 - 128, r.extra[0], r.extra[1], r.extra[2], r.elapsed);
  return line;
}

// One printed line, placed in time so frames and records interleave.
struct Event {
  double atMs;
  std::string text;
};

double msSince(Clock::time_point origin, Clock::time_point t) {
  return std::chrono::duration<double, std::milli>(t - origin).count();
}

void printEvents(std::vector<Event>& events) {
  std::stable_sort(events.begin(), events.end(),
                   [](const Event& a, const Event& b) { return a.atMs < b.atMs; });
  for (const Event& e : events) {
    std::printf("%9.1f ms  %s\n", e.atMs, e.text.c_str());
  }
  std::fflush(stdout);
  events.clear();
}

}  // namespace

int main(int argc, char** argv) {
  // Lines go out as they are printed, in step with the library's console lines.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  Options options;
  CLI::App app("", "tolvarine-link-demo");
  addOptions(app, options);
  if (const int status = tolvarine_tools::parseCommandLine(app, argc, argv); status >= 0) {
    return status;
  }
  tolvarine_tools::installStopHandlers();

  const bool simulated = options.port.empty();
  SimulatedBoard board;
  std::string device = options.port;
  if (simulated) {
    std::string error;
    if (!board.start(&error)) {
      std::cerr << "tolvarine-link-demo: cannot start the simulated board: " << error << std::endl;
      return 1;
    }
    device = board.devicePath();
    std::printf("simulated board on %s\n", device.c_str());
  }

  const Clock::time_point origin = Clock::now();
  Connector connector;
  if (!connector.open(device)) {
    std::cerr << "tolvarine-link-demo: cannot open " << device << std::endl;
    return 1;
  }
  std::vector<Event> events;
  events.push_back({msSince(origin, Clock::now()), "port " + device + " open; handshake"});
  if (!connector.connect()) {
    std::cerr << "tolvarine-link-demo: no valid reply from the board within 10 s" << std::endl;
    return 1;
  }
  events.push_back({msSince(origin, Clock::now()), "the board answers: the 30 ms cycle starts"});

  const std::vector<Step> steps = script();
  std::size_t step = 0;
  connector.setSendData(steps[0].command, false);
  const Clock::time_point started = Clock::now();
  connector.startThread();
  const auto runTime = std::chrono::duration<double>(options.seconds);

  events.push_back({msSince(origin, started), std::string("command: ") + steps[0].name});
  std::size_t framesShown = 0;
  std::size_t records = 0;
  std::int64_t elapsedSum = 0;  // from the second record on: the first counts from the start
  std::vector<double> threadFrameTimes;
  double recordClockMs = msSince(origin, started);  // the thread's last read, chained by elapsed
  std::vector<ReceiveData> taken;

  auto showCommand = [&events, &origin, simulated](const Step& s) {
    std::string text = std::string("command: ") + s.name;
    if (!simulated) {
      CommandFrame frame;
      encodeFrame(s.command, frame);
      // The sequence and check bytes are set frame by frame.
      text += "\n             -> " + hexBytes(frame, 10) + " .. ..";
    }
    events.push_back({msSince(origin, Clock::now()), text});
  };
  auto collect = [&]() {
    if (simulated) {
      for (const ReceivedFrame& f : board.framesFrom(framesShown)) {
        ++framesShown;
        if (f.at >= started) {
          threadFrameTimes.push_back(msSince(origin, f.at));
        }
        events.push_back({msSince(origin, f.at), "-> " + hexBytes(f.bytes.data(), f.bytes.size()) +
                                                     (f.valid ? "" : "  (bad)")});
      }
    }
    for (const ReceiveData& r : taken) {
      if (records++ > 0) {
        elapsedSum += r.elapsed;
      }
      recordClockMs += r.elapsed;
      events.push_back({recordClockMs, "<- " + describe(r)});
    }
  };

  while (tolvarine_tools::stopSignals() == 0) {
    const auto now = Clock::now();
    const double fraction = (now - started) / runTime;
    if (fraction >= 1.0) {
      break;
    }
    while (step + 1 < steps.size() && fraction >= steps[step].untilFraction) {
      ++step;
      connector.setSendData(steps[step].command, false);
      showCommand(steps[step]);
    }
    connector.getReceiveDataFor(taken, 100ms);
    collect();
    printEvents(events);
  }
  if (tolvarine_tools::stopSignals() != 0) {
    events.push_back({msSince(origin, Clock::now()), "interrupted: stopping"});
  }

  connector.stopThread();  // the thread's last frame is a stop command
  connector.getReceiveData(taken, false);
  if (simulated) {
    // Let the final stop command reach the board's record.
    board.waitForFrames(board.validFrameCount() + 1, 100ms);
  }
  collect();
  printEvents(events);
  connector.close();

  std::printf("\nsummary\n");
  if (simulated) {
    std::printf("  command frames received by the board: %zu (handshake and final stop included)\n",
                framesShown);
    std::printf("  status frames written by the board:   %llu\n",
                static_cast<unsigned long long>(board.replyCount()));
  }
  std::printf("  status records received:              %zu\n", records);
  if (records > 1) {
    std::printf("  mean cycle, record to record:         %.2f ms\n",
                static_cast<double>(elapsedSum) / static_cast<double>(records - 1));
  }
  if (threadFrameTimes.size() > 1) {
    std::printf("  mean cycle, frame to frame at board:  %.2f ms\n",
                (threadFrameTimes.back() - threadFrameTimes.front()) /
                    static_cast<double>(threadFrameTimes.size() - 1));
  }
  if (simulated) {
    const auto pose = board.truePose();
    std::printf("  chair moved (simulated): x %.3f m, y %.3f m, heading %.1f deg, path %.3f m\n",
                pose.x, pose.y, pose.theta * 180.0 / 3.141592653589793, pose.distance);
  }
  return 0;
}
