// The link against the simulated board, one connection through phase after
// phase: the handshake, commands in the frames planned for them, status
// records with their times and parity messages through noise, rejected
// replies, a board that falls silent and comes back, and the stop
// command at the end. Each phase has its own status bytes, so that every
// record tells which phase it came from; the last phase holds the records
// and the console of the whole run together.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <future>
#include <map>
#include <memory>
#include <numeric>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "connector.h"
#include "test_support.h"
#include "tolvarine_board_sim/simulated_board.h"

namespace tolvarine_controller {
namespace {

using namespace std::chrono_literals;
using tolvarine_board_sim::Clock;
using tolvarine_board_sim::ReceivedFrame;
constexpr auto kTimeout = 5000ms * TOLVARINE_TEST_TIME_SCALE;

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
const Status kFirst{0x41, 0x41}, kBack{0x44, 0x44}, kNoisy{0x45, 0x45};
constexpr std::uint64_t kNoisyReplies = 60;
const std::string kWarning = "TolovarineController : warning parity";
const std::string kError = "TolvarineController : error parity cnt=>";
// Parity ranges: 0x60..0x6F warn, 0x70..0x7F are errors, the warning range
// is looked at first.
const std::map<Status, std::string> kParity = {{{0x61, 0x41}, kWarning},
                                               {{0x71, 0x41}, kError},
                                               {{0x80, 0x41}, ""},
                                               {{0x61, 0x71}, kWarning},
                                               {{0x41, 0x7F}, kError}};

// A frame count between two readings of the clock, for the period.
using Sample = std::tuple<Clock::time_point, std::uint32_t, Clock::time_point>;

class ConnectorBoard : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    board = std::make_unique<tolvarine_board_sim::SimulatedBoard>();
    connector = std::make_unique<Connector>();
    connected = board->start() && connector->open(board->devicePath()) && connector->connect();
    handshakeFrames = board->frameCount();
    std::vector<ReceiveData> records;
    connector->getReceiveData(records, false);
    handshakeRecords = records.size();
    testing::internal::CaptureStderr();
    capturing = true;
    started = Clock::now();
    connector->startThread();
  }
  static void TearDownTestSuite() {
    endCapture();
    connector.reset();
    board.reset();
  }
  void SetUp() override { ASSERT_TRUE(connected); }

  static void endCapture() {
    if (capturing) {
      output = testing::internal::GetCapturedStderr();
      capturing = false;
    }
  }
  static Sample sample() {
    const auto before = Clock::now();
    const std::uint32_t frame = connector->nextFrame();
    return {before, frame, Clock::now()};
  }
  // Sets the status bytes, waits for `replies` more, and takes the records
  // of the replies the link has read by then.
  static void answer(Status status, std::uint64_t replies) {
    board->setStatusBytes(status.first, status.second);
    ASSERT_TRUE(board->waitForReplies(board->replyCount() + replies, kTimeout));
    ASSERT_TRUE(board->waitForFrames(board->frameCount() + 2, kTimeout));  // the replies read
    takeRecords();
  }
  static void takeRecords() {
    std::vector<ReceiveData> taken;
    connector->getReceiveData(taken, false);
    records.insert(records.end(), taken.begin(), taken.end());
  }
  static std::vector<double> elapsedOf(Status status) {
    std::vector<double> elapsed;
    for (const ReceiveData& r : records) {
      if (Status{r.status1, r.status2} == status) {
        elapsed.push_back(r.elapsed);
      }
    }
    return elapsed;
  }
  bool waitForLoss(bool lost) {
    return test_support::eventually([lost] { return connector->isLinkLost() == lost; });
  }

  static inline std::unique_ptr<tolvarine_board_sim::SimulatedBoard> board;
  static inline std::unique_ptr<Connector> connector;
  static inline bool connected = false, capturing = false;
  static inline std::size_t handshakeFrames = 0, handshakeRecords = 0;
  static inline std::vector<ReceiveData> records;
  static inline Clock::time_point started, running, answering, stopped;
  static inline Sample first, last;
  static inline std::string output;
};

TEST_F(ConnectorBoard, HandshakeRepliesAreProofOfLifeOnly) {
  EXPECT_GT(handshakeFrames, 0u);
  EXPECT_EQ(handshakeRecords, 0u);
}

// A command set for a frame goes out in exactly that frame, and a frame
// gone out can no longer be changed; setSendData with wait returns once its
// command has been taken.
TEST_F(ConnectorBoard, CommandsGoOutInTheFramesPlannedForThem) {
  std::uint32_t planned = 0;
  do {
    planned = connector->nextFrame();
  } while (!connector->setSendDataForFrame(forward(40), planned));
  connector->waitForFrame(planned);
  running = Clock::now();  // the thread's time runs from before this
  EXPECT_FALSE(connector->setSendDataForFrame(forward(41), planned));
  const std::uint32_t beforeWait = connector->nextFrame();
  connector->setSendData(forward(90), true);
  const std::uint32_t afterWait = connector->nextFrame();
  first = sample();
  ASSERT_TRUE(board->waitForFrames(afterWait, kTimeout));
  const std::vector<ReceivedFrame> frames = board->frames();
  EXPECT_FALSE(carries(frames[planned - 2], forward(40)));
  EXPECT_TRUE(carries(frames[planned - 1], forward(40)));
  const auto firstFast = std::find_if(
      frames.begin(), frames.end(), [](const ReceivedFrame& f) { return carries(f, forward(90)); });
  const auto fastNumber = static_cast<std::uint32_t>(firstFast - frames.begin() + 1);
  EXPECT_GE(fastNumber, beforeWait);
  EXPECT_LT(fastNumber, afterWait);
}

// Line noise after every second reply, 0x02 among it: each reply is found
// again behind it, and nothing read out of step passes for one.
TEST_F(ConnectorBoard, EveryReplyIsFoundBehindLineNoise) {
  answer(kFirst, 10);
  board->setNoiseAfterEvery(2, 5);
  answer(kNoisy, kNoisyReplies);
  board->setNoiseAfterEvery(0, 0);
  // The status takes effect a frame late: all but a few are kept.
  EXPECT_GE(elapsedOf(kNoisy).size(), kNoisyReplies - 6);
}

// Every second reply has a bad check byte: the record after it covers its
// time, and the parity of the good ones is reported.
TEST_F(ConnectorBoard, RejectedRepliesLeaveTheirTimeToTheNext) {
  board->setCorruptEvery(2);
  for (const auto& p : kParity) {
    answer(p.first, 8);
  }
  board->setCorruptEvery(0);
  std::vector<double> afterRejected;
  for (const auto& p : kParity) {
    const std::vector<double> elapsed = elapsedOf(p.first);
    afterRejected.insert(afterRejected.end(), elapsed.begin(), elapsed.end());
  }
  ASSERT_FALSE(afterRejected.empty());
  EXPECT_GE(std::accumulate(afterRejected.begin(), afterRejected.end(), 0.0) / afterRejected.size(),
            45.0);
}

// Silent for longer than the loss limit, then back: one loss, however long.
TEST_F(ConnectorBoard, ASilenceIsOneLossAndTheFirstReplyCoversIt) {
  board->setSilent(true);
  ASSERT_TRUE(board->waitForFrames(board->frameCount() + 3, kTimeout));  // no reply in flight
  ASSERT_TRUE(waitForLoss(true));
  const std::uint32_t lossesSeen = connector->getLinkLossCount();
  ASSERT_TRUE(board->waitForFrames(board->frameCount() + 5, kTimeout));
  EXPECT_EQ(connector->getLinkLossCount(), lossesSeen);
  board->setStatusBytes(kBack.first, kBack.second);
  board->resumeAnswering();
  ASSERT_TRUE(waitForLoss(false));
  answering = Clock::now();  // the last replies are read after this
  answer(kBack, 3);
  const std::vector<double> elapsed = elapsedOf(kBack);
  ASSERT_FALSE(elapsed.empty());
  EXPECT_GE(elapsed.front(), 300);  // the whole silence
}

// Silent again: only stopThread releases a waiter now. The frames: numbered
// from 1 across the handshake, one per cycle, the stop command last.
TEST_F(ConnectorBoard, StopThreadReleasesAWaiterAndSendsTheStopCommandLast) {
  last = sample();
  board->setSilent(true);
  ASSERT_TRUE(board->waitForFrames(board->frameCount() + 3, kTimeout));
  takeRecords();
  auto waiter = std::async(std::launch::async, [] {
    std::vector<ReceiveData> taken;
    connector->getReceiveData(taken, true);
    return taken;
  });
  EXPECT_EQ(waiter.wait_for(200ms), std::future_status::timeout);
  connector->stopThread();
  ASSERT_EQ(waiter.wait_for(kTimeout), std::future_status::ready);
  connector->close();  // at once: the stop command must still reach the board
  stopped = Clock::now();
  endCapture();
  ASSERT_TRUE(board->waitForClient(false, kTimeout));
  const std::vector<ReceiveData> taken = waiter.get();
  records.insert(records.end(), taken.begin(), taken.end());
  std::vector<ReceiveData> again;
  connector->getReceiveData(again, false);
  EXPECT_TRUE(again.empty()) << "each record is handed out once";

  const std::vector<ReceivedFrame> frames = board->frames();
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
  ASSERT_GE(frames.size(), 2u);
  EXPECT_TRUE(carries(frames[frames.size() - 2], forward(90)));
  EXPECT_TRUE(carries(frames.back(), SendData()));
}

// Records: valid, each from a reply of its phase, their times adding up to
// the thread's life up to its last reply. The console: parity lines in
// record order; the loss, the return and rejected replies (at most once a
// second) each said once.
TEST_F(ConnectorBoard, RecordsAndConsoleAccountForTheWholeRun) {
  ASSERT_NE(stopped, Clock::time_point()) << "the run did not end";
  std::int64_t elapsedSum = 0;
  std::vector<std::string> parityLines;
  std::uint32_t parityCount = 0;
  for (const ReceiveData& r : records) {
    EXPECT_TRUE(r.isValid);
    const Status status{r.status1, r.status2};
    EXPECT_EQ(kParity.count(status) + (status == kFirst) + (status == kBack) + (status == kNoisy),
              1u)
        << "a record no reply carried: " << int{r.status1} << " " << int{r.status2};
    elapsedSum += r.elapsed;
    const auto kind = kParity.find(status);
    if (kind == kParity.end() || kind->second.empty()) {
      parityCount = 0;
    } else {
      parityLines.push_back(kind->second == kWarning ? kWarning
                                                     : kError + std::to_string(parityCount));
      ++parityCount;
    }
  }
  EXPECT_LE(elapsedSum, msBetween(started, stopped) + 2);
  EXPECT_GE(elapsedSum, msBetween(running, answering) - 100);

  const std::string from = " from " + board->devicePath() + " ";
  std::vector<std::string> parityOut;
  int losses = 0, returns = 0, rejectedReports = 0;
  std::istringstream lines(output);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("Tol", 0) == 0) {
      parityOut.push_back(line);
    } else if (line.find(from + "for ") != std::string::npos &&
               line.find("the link is lost") != std::string::npos) {
      ++losses;
    } else if (line.find(board->devicePath() + " answers again after ") != std::string::npos) {
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
  EXPECT_EQ(static_cast<std::uint32_t>(losses), connector->getLinkLossCount());
  EXPECT_GE(returns, 1);
  EXPECT_LE(returns, losses);
  EXPECT_GE(rejectedReports, 1);
  EXPECT_LE(rejectedReports, 1 + msBetween(started, stopped) / 1000);
}

}  // namespace
}  // namespace tolvarine_controller
