// The status record queue: the parity test and its messages, what is queued
// and how callers take records out.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "connector.h"
#include "connector_probe.h"
#include "tolvarine_controller/frame.h"

namespace tolvarine_controller {
namespace {

using Probe = ConnectorProbe;
using SteadyClock = std::chrono::steady_clock;

// A record as the connector decodes it from the wire; `label` goes into the
// first wheel byte so records can be told apart.
ReceiveData statusRecord(std::uint8_t status1, std::uint8_t status2, std::uint8_t label = 0x80,
                         bool valid = true) {
  StatusFrame frame = {0x02, status1, status2, label, 0x80, 0x00, 0x00, 0x00, 0x00};
  frame[8] = frameChecksum(&frame[1], 7);
  if (!valid) {
    frame[8] = static_cast<std::uint8_t>(frame[8] + 1);
  }
  return decodeStatusFrame(frame);
}

std::string pushCapturingStderr(Connector& connector, const ReceiveData& record,
                                std::int32_t elapsed = 30) {
  testing::internal::CaptureStderr();
  Probe::pushReceiveData(connector, record, elapsed);
  return testing::internal::GetCapturedStderr();
}

const std::string kWarning = "TolovarineController : warning parity\n";
std::string errorLine(int count) {
  return "TolvarineController : error parity cnt=>" + std::to_string(count) + "\n";
}

struct ParityStep {
  std::uint8_t status1;
  std::uint8_t status2;
  bool valid;
  std::string message;
  std::uint32_t countAfter;
};

TEST(ConnectorParity, MessagesAndCountFollowTheStatusRanges) {
  Connector connector;
  ASSERT_EQ(Probe::parityErrorCount(connector), 0u);

  // Worked through by hand from the ranges: 0x60..0x6F warns, 0x70..0x7F is
  // an error (reported with the count before it), anything else resets; the
  // warning range is tested first; an invalid record changes nothing.
  const std::vector<ParityStep> steps = {
      {0x41, 0x41, true, "", 0},           {0x61, 0x41, true, kWarning, 1},
      {0x41, 0x6F, true, kWarning, 2},     {0x71, 0x41, true, errorLine(2), 3},
      {0x41, 0x7F, true, errorLine(3), 4}, {0x61, 0x71, true, kWarning, 5},
      {0x80, 0x41, true, "", 0},           {0x71, 0x41, true, errorLine(0), 1},
      {0x71, 0x41, false, "", 1},  // bad check byte: not tested, not counted
      {0x41, 0x7F, true, errorLine(1), 2}, {0x7F, 0x70, true, errorLine(2), 3},
      {0x5F, 0x80, true, "", 0},  // just outside both ranges
      {0x60, 0x41, true, kWarning, 1},     {0x41, 0x70, true, errorLine(1), 2},
      {0x6F, 0x5F, true, kWarning, 3},
  };
  for (std::size_t i = 0; i < steps.size(); ++i) {
    const ParityStep& step = steps[i];
    SCOPED_TRACE("step " + std::to_string(i));
    EXPECT_EQ(
        pushCapturingStderr(connector, statusRecord(step.status1, step.status2, 0x80, step.valid)),
        step.message);
    EXPECT_EQ(Probe::parityErrorCount(connector), step.countAfter);
  }

  // Every valid record stays queued, whatever its parity result.
  std::vector<ReceiveData> records;
  connector.getReceiveData(records, false);
  EXPECT_EQ(records.size(), steps.size() - 1);
}

TEST(ConnectorParity, ThreeErrorsInARowCountUpAndAnInvalidRecordChangesNothing) {
  Connector connector;
  EXPECT_EQ(pushCapturingStderr(connector, statusRecord(0x41, 0x41)), "");
  EXPECT_EQ(pushCapturingStderr(connector, statusRecord(0x71, 0x41)), errorLine(0));
  EXPECT_EQ(pushCapturingStderr(connector, statusRecord(0x41, 0x71, 0x80, false)), "");
  EXPECT_EQ(pushCapturingStderr(connector, statusRecord(0x71, 0x41)), errorLine(1));
  EXPECT_EQ(pushCapturingStderr(connector, statusRecord(0x61, 0x41, 0x80, false)), "");
  EXPECT_EQ(pushCapturingStderr(connector, statusRecord(0x71, 0x41)), errorLine(2));
  EXPECT_EQ(Probe::parityErrorCount(connector), 3u);
}

TEST(ConnectorQueue, OnlyValidRecordsAreQueuedWithTheirElapsedTime) {
  Connector connector;
  EXPECT_TRUE(Probe::pushReceiveData(connector, statusRecord(0x41, 0x41, 1), 31));
  EXPECT_FALSE(Probe::pushReceiveData(connector, statusRecord(0x41, 0x41, 2, false), 29));
  EXPECT_TRUE(Probe::pushReceiveData(connector, statusRecord(0x41, 0x41, 3), 60));

  std::vector<ReceiveData> records;
  connector.getReceiveData(records, false);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].wheelSpeed1, 1);
  EXPECT_EQ(records[0].elapsed, 31);
  EXPECT_TRUE(records[0].isValid);
  EXPECT_EQ(records[1].wheelSpeed1, 3);
  EXPECT_EQ(records[1].elapsed, 60);
}

TEST(ConnectorQueue, TakingWithoutWaitGivesEachRecordOnce) {
  Connector connector;

  // Empty queue: returns at once, and the caller's old contents are gone.
  std::vector<ReceiveData> records(5);
  const auto start = SteadyClock::now();
  connector.getReceiveData(records, false);
  EXPECT_LT(SteadyClock::now() - start, std::chrono::milliseconds(100));
  EXPECT_TRUE(records.empty());

  for (std::uint8_t label = 10; label < 13; ++label) {
    Probe::pushReceiveData(connector, statusRecord(0x41, 0x41, label), 30);
  }
  connector.getReceiveData(records, false);
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0].wheelSpeed1, 10);
  EXPECT_EQ(records[1].wheelSpeed1, 11);
  EXPECT_EQ(records[2].wheelSpeed1, 12);

  connector.getReceiveData(records, false);
  EXPECT_TRUE(records.empty());

  Probe::pushReceiveData(connector, statusRecord(0x41, 0x41, 13), 30);
  Probe::pushReceiveData(connector, statusRecord(0x41, 0x41, 14), 30);
  connector.getReceiveData(records, false);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].wheelSpeed1, 13);
  EXPECT_EQ(records[1].wheelSpeed1, 14);
  EXPECT_EQ(Probe::queued(connector), 0u);
}

TEST(ConnectorQueue, BoundedWaitEndsAtTheLimitOrAtTheNextRecord) {
  Connector connector;

  // Nothing arrives: the wait ends at the limit, empty-handed.
  std::vector<ReceiveData> records;
  auto start = SteadyClock::now();
  connector.getReceiveDataFor(records, std::chrono::milliseconds(150));
  const auto waited = SteadyClock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(140));
  EXPECT_LT(waited, std::chrono::milliseconds(1500));
  EXPECT_TRUE(records.empty());

  // A record queued during the wait ends it long before the limit, and the
  // records queued before the wait come along.
  Probe::pushReceiveData(connector, statusRecord(0x41, 0x41, 1), 30);
  std::thread pusher([&connector] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    Probe::pushReceiveData(connector, statusRecord(0x41, 0x41, 2), 30);
  });
  start = SteadyClock::now();
  connector.getReceiveDataFor(records, std::chrono::milliseconds(5000));
  const auto woken = SteadyClock::now() - start;
  pusher.join();
  EXPECT_LT(woken, std::chrono::milliseconds(2500));
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].wheelSpeed1, 1);
  EXPECT_EQ(records[1].wheelSpeed1, 2);
}

TEST(ConnectorCommand, StartsAsTheStopCommandAndIsReplacedWithoutWait) {
  Connector connector;
  const SendData stop;
  SendData current = Probe::command(connector);
  EXPECT_EQ(current.leftDirection, stop.leftDirection);
  EXPECT_EQ(current.rightDirection, stop.rightDirection);
  EXPECT_EQ(current.leftSpeed, 0);
  EXPECT_EQ(current.rightSpeed, 0);

  SendData forward;
  forward.leftDirection = 0x41;
  forward.rightDirection = 0x41;
  forward.leftSpeed = 40;
  forward.rightSpeed = 41;
  forward.option5 = 40;
  connector.setSendData(forward, false);
  current = Probe::command(connector);
  EXPECT_EQ(current.leftDirection, 0x41);
  EXPECT_EQ(current.rightDirection, 0x41);
  EXPECT_EQ(current.leftSpeed, 40);
  EXPECT_EQ(current.rightSpeed, 41);
  EXPECT_EQ(current.option5, 40);
}

TEST(ConnectorCommand, ClosedConnectorSendsNothingAndStartsNoThread) {
  Connector connector;
  EXPECT_FALSE(Probe::send(connector, SendData()));
  EXPECT_EQ(Probe::sendCount(connector), 0u);
  StatusFrame buffer = {};
  EXPECT_FALSE(Probe::receive(connector, buffer));
  connector.startThread();
  EXPECT_FALSE(Probe::hasThread(connector));
  EXPECT_FALSE(Probe::isRunning(connector));
  connector.stopThread();  // nothing to stop
  EXPECT_TRUE(connector.close());
  EXPECT_TRUE(connector.close());
}

}  // namespace
}  // namespace tolvarine_controller
