// The link against the simulated board in one long run: the handshake, the
// cycle's frames and commands, the status records with their times and parity
// messages through rejected and missing replies, a board that falls silent and
// comes back, and the stop command at the end. Each phase has its own status
// bytes, so that every record tells which phase it came from.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <future>
#include <map>
#include <numeric>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "connector.h"
#include "tolvarine_board_sim/simulated_board.h"

namespace tolvarine_controller {
namespace {

using namespace std::chrono_literals;
using tolvarine_board_sim::Clock;
using tolvarine_board_sim::ReceivedFrame;
constexpr int kTimeScale = TOLVARINE_TEST_TIME_SCALE;

SendData forward(std::uint8_t speed) {
  SendData data;
  data.leftDirection = 0x40;  // the left motor is mounted mirrored
  data.rightDirection = 0x41;
  data.leftSpeed = speed;
  data.rightSpeed = speed;
  return data;
}

bool carries(const ReceivedFrame& frame, const SendData& d) {
  const std::uint8_t payload[] = {d.leftDirection, d.rightDirection, d.leftSpeed,
                                  d.rightSpeed,    d.option1,        d.option2,
                                  d.option3,       d.option4,        d.option5};
  return std::equal(payload, payload + 9, frame.bytes.begin() + 1);
}

double msBetween(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double, std::milli>(to - from).count();
}

using Status = std::pair<std::uint8_t, std::uint8_t>;
const Status kFirst{0x41, 0x41}, kDropping{0x43, 0x43}, kBack{0x44, 0x44}, kNoisy{0x45, 0x45};
constexpr std::uint64_t kNoisyReplies = 60;
const std::string kWarning = "TolovarineController : warning parity";
const std::string kError = "TolvarineController : error parity cnt=>";

TEST(ConnectorBoard, OneLongRun) {
  tolvarine_board_sim::SimulatedBoard board;
  std::string error;
  ASSERT_TRUE(board.start(&error)) << error;
  Connector connector;
  ASSERT_TRUE(connector.open(board.devicePath()));
  ASSERT_TRUE(connector.connect());
  const std::size_t handshakeFrames = board.frameCount();
  std::vector<ReceiveData> records;
  connector.getReceiveData(records, false);
  EXPECT_TRUE(records.empty());  // the handshake's reply is proof of life only

  testing::internal::CaptureStderr();
  const auto started = Clock::now();
  connector.startThread();
  // A command set for a frame goes out in exactly that frame, and a frame
  // gone out can no longer be changed.
  std::uint32_t planned = 0;
  do {
    planned = connector.nextFrame();
  } while (!connector.setSendDataForFrame(forward(40), planned));
  connector.waitForFrame(planned);
  const auto running = Clock::now();  // the thread's time runs from before this
  EXPECT_FALSE(connector.setSendDataForFrame(forward(41), planned));
  // setSendData with wait returns once its command has been taken.
  const std::uint32_t beforeWait = connector.nextFrame();
  connector.setSendData(forward(90), true);
  const std::uint32_t afterWait = connector.nextFrame();
  // A frame count between two readings of the clock, for the period.
  const auto sample = [&connector] {
    const auto before = Clock::now();
    const std::uint32_t frame = connector.nextFrame();
    return std::make_tuple(before, frame, Clock::now());
  };
  const auto first = sample();

  const auto timeout = 5000ms * kTimeScale;
  const auto phase = [&](Status status, std::uint64_t replies) {
    board.setStatusBytes(status.first, status.second);
    ASSERT_TRUE(board.waitForReplies(board.replyCount() + replies, timeout));
  };
  // Parity ranges: 0x60..0x6F warn, 0x70..0x7F are errors, the warning
  // range is looked at first; every second reply has a bad check byte.
  const std::map<Status, std::string> parity = {{{0x61, 0x41}, kWarning},
                                                {{0x71, 0x41}, kError},
                                                {{0x80, 0x41}, ""},
                                                {{0x61, 0x71}, kWarning},
                                                {{0x41, 0x7F}, kError}};
  phase(kFirst, 10);
  // Line noise after every second reply, 0x02 among it: each reply is found
  // again behind it, and nothing read out of step passes for one.
  board.setNoiseAfterEvery(2, 5);
  phase(kNoisy, kNoisyReplies);
  board.setNoiseAfterEvery(0, 0);
  board.setCorruptEvery(2);
  for (const auto& p : parity) {
    phase(p.first, 8);
  }
  board.setCorruptEvery(0);
  board.setDropEvery(3);
  phase(kDropping, 8);
  board.setDropEvery(0);

  // Silent for longer than the loss limit, then back.
  board.setSilent(true);
  ASSERT_TRUE(board.waitForFrames(board.frameCount() + 3, timeout));  // no reply in flight
  const auto waitFor = [&](bool lost) {
    const auto deadline = Clock::now() + timeout;
    while (connector.isLinkLost() != lost && Clock::now() < deadline) {
      std::this_thread::sleep_for(5ms);
    }
    return connector.isLinkLost() == lost;
  };
  ASSERT_TRUE(waitFor(true));
  const std::uint32_t lossesSeen = connector.getLinkLossCount();
  ASSERT_TRUE(board.waitForFrames(board.frameCount() + 5, timeout));
  EXPECT_EQ(connector.getLinkLossCount(), lossesSeen);  // one loss, however long
  board.setStatusBytes(kBack.first, kBack.second);
  board.resumeAnswering();
  ASSERT_TRUE(waitFor(false));
  const auto answering = Clock::now();  // the last replies are read after this
  ASSERT_TRUE(board.waitForReplies(board.replyCount() + 3, timeout));

  // Silent again: only stopThread releases a waiter now.
  const auto last = sample();
  board.setSilent(true);
  ASSERT_TRUE(board.waitForFrames(board.frameCount() + 3, timeout));
  auto waiter = std::async(std::launch::async, [&connector] {
    std::vector<ReceiveData> taken;
    connector.getReceiveData(taken, true);
    return taken;
  });
  EXPECT_EQ(waiter.wait_for(200ms), std::future_status::timeout);
  connector.stopThread();
  ASSERT_EQ(waiter.wait_for(timeout), std::future_status::ready);
  connector.close();  // at once: the stop command must still reach the board
  const auto stopped = Clock::now();
  const std::string output = testing::internal::GetCapturedStderr();
  ASSERT_TRUE(board.waitForClient(false, timeout));
  records = waiter.get();
  std::vector<ReceiveData> again;
  connector.getReceiveData(again, false);
  EXPECT_TRUE(again.empty());  // each record is handed out once

  // Frames: numbered from 1 across the handshake, one per cycle.
  const std::vector<ReceivedFrame> frames = board.frames();
  ASSERT_GT(frames.size(), static_cast<std::size_t>(afterWait));
  for (std::size_t i = 0; i < frames.size(); ++i) {
    ASSERT_TRUE(frames[i].valid) << "frame " << i + 1;
    EXPECT_EQ(frames[i].bytes[10], (i + 1) % 100 + 10) << "frame " << i + 1;
    EXPECT_TRUE(i >= handshakeFrames || carries(frames[i], SendData())) << "frame " << i + 1;
  }
  // The period, from the shortest and the longest time that the frames sent
  // between the two samples can have taken: a busy machine only widens this.
  // A sanitizer build can stall the thread itself, so its bound is wider.
  const double cycles = std::get<1>(last) - std::get<1>(first);
  EXPECT_LT(msBetween(std::get<2>(first), std::get<0>(last)) / cycles,
            30.0 + 2.5 * TOLVARINE_TEST_TIME_SCALE);
  EXPECT_GT(msBetween(std::get<0>(first), std::get<2>(last)) / cycles, 27.5);
  EXPECT_FALSE(carries(frames[planned - 2], forward(40)));
  EXPECT_TRUE(carries(frames[planned - 1], forward(40)));
  const auto firstFast = std::find_if(
      frames.begin(), frames.end(), [](const ReceivedFrame& f) { return carries(f, forward(90)); });
  const auto fastNumber = static_cast<std::uint32_t>(firstFast - frames.begin() + 1);
  EXPECT_GE(fastNumber, beforeWait);
  EXPECT_LT(fastNumber, afterWait);
  EXPECT_TRUE(carries(frames[frames.size() - 2], forward(90)));
  EXPECT_TRUE(carries(frames.back(), SendData()));

  // Records: valid, their times adding up to the thread's life up to its
  // last reply, rejected and missing replies included.
  std::int64_t elapsedSum = 0;
  std::map<Status, std::vector<double>> elapsed;
  std::vector<std::string> parityLines;
  std::uint32_t parityCount = 0;
  for (const ReceiveData& r : records) {
    EXPECT_TRUE(r.isValid);
    const Status status{r.status1, r.status2};
    EXPECT_TRUE(parity.count(status) + (status == kFirst) + (status == kDropping) +
                    (status == kBack) + (status == kNoisy) ==
                1)
        << "a record no reply carried: " << int{r.status1} << " " << int{r.status2};
    elapsedSum += r.elapsed;
    elapsed[{r.status1, r.status2}].push_back(r.elapsed);
    const auto kind = parity.find({r.status1, r.status2});
    if (kind == parity.end() || kind->second.empty()) {
      parityCount = 0;
    } else {
      parityLines.push_back(kind->second == kWarning ? kWarning
                                                     : kError + std::to_string(parityCount));
      ++parityCount;
    }
  }
  EXPECT_LE(elapsedSum, msBetween(started, stopped) + 2);
  EXPECT_GE(elapsedSum, msBetween(running, answering) - 100);
  std::vector<double> afterRejected;  // each covers the rejected reply before it
  for (const auto& p : parity) {
    afterRejected.insert(afterRejected.end(), elapsed[p.first].begin(), elapsed[p.first].end());
  }
  ASSERT_FALSE(afterRejected.empty());
  EXPECT_GE(std::accumulate(afterRejected.begin(), afterRejected.end(), 0.0) / afterRejected.size(),
            45.0);
  ASSERT_FALSE(elapsed[kDropping].empty());  // one spans a missing reply:
  EXPECT_GE(*std::max_element(elapsed[kDropping].begin(), elapsed[kDropping].end()), 50);
  // The status takes effect a frame late, and the phase ends with replies in
  // flight: all but a few are kept.
  EXPECT_GE(elapsed[kNoisy].size(), kNoisyReplies - 6);
  ASSERT_FALSE(elapsed[kBack].empty());
  EXPECT_GE(elapsed[kBack].front(), 300);  // the whole silence

  // The console: parity lines in record order; the loss, the return and
  // rejected replies (at most once a second) each said once.
  const std::string from = " from " + board.devicePath() + " ";
  std::vector<std::string> parityOut;
  int losses = 0, returns = 0, rejectedReports = 0;
  std::istringstream lines(output);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("Tol", 0) == 0) {
      parityOut.push_back(line);
    } else if (line.find(from + "for ") != std::string::npos &&
               line.find("the link is lost") != std::string::npos) {
      ++losses;
    } else if (line.find(board.devicePath() + " answers again after ") != std::string::npos) {
      ++returns;
    } else if (line.find(from + "rejected for a bad start or check byte") != std::string::npos) {
      ++rejectedReports;
    } else {
      EXPECT_NE(line.find("keeps its normal priority"), std::string::npos) << line;
    }
  }
  EXPECT_EQ(parityOut, parityLines);
  EXPECT_NE(std::count(parityLines.begin(), parityLines.end(), kWarning), 0);
  EXPECT_TRUE(std::any_of(parityLines.begin(), parityLines.end(),
                          [](const std::string& l) { return l.rfind(kError, 0) == 0; }));
  EXPECT_EQ(static_cast<std::uint32_t>(losses), connector.getLinkLossCount());
  EXPECT_GE(returns, 1);
  EXPECT_LE(returns, losses);
  EXPECT_GE(rejectedReports, 1);
  EXPECT_LE(rejectedReports, 1 + msBetween(started, stopped) / 1000);
}

}  // namespace
}  // namespace tolvarine_controller
