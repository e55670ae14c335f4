#include "link_run.h"

#include <unistd.h>

#include <algorithm>
#include <iterator>
#include <memory>
#include <sstream>

#include "child_process.h"
#include "temp_dir.h"
#include "wine_prefix.h"

namespace tolvarine_bench {

const char* const kModeNames[4] = {"normal", "late", "silent", "gone"};

namespace {

using tolvarine_board_sim::BoardOptions;
using tolvarine_board_sim::SimulatedBoard;
using tolvarine_tools::ChildProcess;
using tolvarine_tools::WinePrefix;
using namespace std::chrono_literals;

constexpr int kComPort = 5;

// The board's clock and the wall clock, which the client notes its targets
// on and shares with this process, under Wine too: the closest pair of
// readings.
class WallClock {
 public:
  WallClock() {
    double bestGap = 1e9;
    for (int i = 0; i < 20; ++i) {
      const auto a = Clock::now();
      const auto wall = std::chrono::system_clock::now();
      const auto b = Clock::now();
      if (ms(b - a) < bestGap) {
        bestGap = ms(b - a);
        steadyZero_ = a + (b - a) / 2;
        wallZeroUs_ = std::chrono::duration<double, std::micro>(wall.time_since_epoch()).count();
      }
    }
  }
  // A time on the wall clock, in microseconds since 1970, on the board's.
  Clock::time_point steady(double wallUs) const {
    return steadyZero_ + std::chrono::duration_cast<Clock::duration>(
                             std::chrono::duration<double, std::micro>(wallUs - wallZeroUs_));
  }

 private:
  Clock::time_point steadyZero_;
  double wallZeroUs_ = 0;
};

void measure(const Run& run, double seconds, Result& result) {
  BoardOptions options;
  options.replyDelay = run.mode == Mode::kLate ? 25ms : 2ms;
  SimulatedBoard board(options);
  if (!startBoard(board, result, &result.error)) {
    return;
  }
  const WallClock clock;
  std::vector<std::string> argv;
  const std::string secondsText = std::to_string(seconds);
  if (run.client.config.empty()) {
    argv = {run.client.program, board.devicePath(), secondsText};
  } else {
    const WinePrefix prefix(TOLVARINE_WINE_RUN, tolvarine_tools::readSettings(run.client.config));
    if (!prefix.prepare(run.client.program, result.error, result.skipped)) {
      return;
    }
    const std::string port = prefix.mapComPort(kComPort, board.devicePath(), &result.error);
    if (port.empty()) {
      return;
    }
    argv = prefix.command(run.client.program, {port, secondsText});
  }
  const tolvarine_tools::TempDir logDir("tolvarine-link-bench");
  ChildProcess client;
  if (!client.startPiped(argv, {"TOLVARINE_MESSAGE_BOX=off"}, logDir.file("client.log"),
                         &result.error)) {
    return;
  }

  // The measured stretch: from the handshake to the end of the client's
  // drive (the board's end, for gone).
  long comm = -1, control = -1;
  auto mark = [&] { return cpuMark(client.pid(), comm, control); };
  CpuMark start{}, goneAt{}, stop{};
  bool connected = false, ended = false, gone = false, done = false;
  std::vector<Clock::time_point> targets;
  std::string line;
  const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                           std::chrono::duration<double>(seconds + 120));
  while (!done && Clock::now() < deadline) {
    if (run.mode == Mode::kGone && connected && !ended && !gone &&
        ms(Clock::now() - start.wall) >= seconds * 500) {
      goneAt = mark();
      board.stop();
      gone = true;
    }
    if (!client.readLine(line, 10ms)) {
      if (client.waitFor(0ms)) {
        break;
      }
    } else if (!connected && line == "connected") {
      connected = true;
      // In the order made: the client's main thread, the link's
      // communication and control threads, the client's consumer. Ids grow
      // unless their counter has just wrapped (the main one not the least);
      // under Wine, Wine has threads of its own.
      const std::set<long> ids = threadIds(client.pid());
      if (run.client.config.empty() && ids.size() >= 3 && *ids.begin() == client.pid()) {
        comm = *std::next(ids.begin());
        control = *std::next(ids.begin(), 2);
      }
      start = mark();
      if (run.mode == Mode::kSilent) {
        board.setSilent(true);
      }
    } else if (connected) {
      if (!ended) {
        stop = mark();
        ended = true;
      }
      std::istringstream words(line);
      std::string word;
      double atUs = 0;
      if (words >> word >> atUs && word == "set") {
        targets.push_back(clock.steady(atUs));
      }
      done = line == "done";
    }
  }
  client.waitFor(30s);
  client.kill();
  if (!done) {
    result.error =
        "the client did not finish (" + line + "); its console:\n" + logDir.read("client.log");
    return;
  }

  const auto until = gone ? goneAt.wall : stop.wall;
  std::vector<ReceivedFrame> frames;
  for (const ReceivedFrame& f : board.frames()) {
    if (f.at >= start.wall && f.at < until) {
      frames.push_back(f);
    }
  }
  measureFrames(frames, result);
  result.expectedFrames = ms(until - start.wall) / kCycleMs;
  result.cpu = cpuBetween(start, gone ? goneAt : stop);
  if (gone) {
    result.cpuAfterGone = cpuBetween(goneAt, stop);
  }
  // Silent, the link is lost: no target reaches the wire.
  if (run.mode != Mode::kSilent) {
    while (!targets.empty() && targets.back() >= until) {
      targets.pop_back();
    }
    matchTargets(frames, targets, result);
  }
}

}  // namespace

Result runLink(const Run& run, double seconds) {
  Result result;
  result.run = run;
  // Busy processes at normal priority, one per core, until the run's end.
  std::vector<std::unique_ptr<ChildProcess>> load;
  for (long i = 0; run.load && i < std::max(1L, sysconf(_SC_NPROCESSORS_ONLN)); ++i) {
    load.push_back(std::make_unique<ChildProcess>());
    if (!load.back()->start({"/bin/sh", "-c", "while :; do :; done"}, "", "", &result.error)) {
      return result;
    }
  }
  measure(run, seconds, result);
  return result;
}

}  // namespace tolvarine_bench
