// Data ports: the in-port's bounded buffer and the out-port's listeners.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

// As in a component: the data types before the port templates.
#include <rtm/idl/BasicDataTypeSkel.h>
#include <rtm/idl/ExtendedDataTypesSkel.h>

#include "StandinTest.hh"

#include <rtm/DataFlowComponentBase.h>
#include <rtm/DataInPort.h>
#include <rtm/DataOutPort.h>

#include "data_port.h"

namespace {

using rtm_standin::DataPortAccess;

// Delivers a sample the way a connected writer does: marshalled.
template <typename T>
void deliver(RTC::InPortBase& port, const T& sample) {
  cdrMemoryStream stream;
  sample >>= stream;
  stream.rewindInputPtr();
  DataPortAccess::put(port, stream);
}

RTC::TimedDouble timedDouble(double value) {
  RTC::TimedDouble sample;
  sample.tm.sec = 0;
  sample.tm.nsec = 0;
  sample.data = value;
  return sample;
}

TEST(InPort, IsNewAndReadInArrivalOrder) {
  RTC::TimedDouble value;
  value.data = -1;
  RTC::InPort<RTC::TimedDouble> port("in", value);
  EXPECT_FALSE(port.isNew());
  EXPECT_TRUE(port.isEmpty());
  EXPECT_FALSE(port.read()) << "nothing to read";
  EXPECT_DOUBLE_EQ(value.data, -1) << "a read with nothing waiting leaves the variable alone";

  deliver(port, timedDouble(1));
  deliver(port, timedDouble(2));
  EXPECT_TRUE(port.isNew());
  EXPECT_TRUE(port.read());
  EXPECT_DOUBLE_EQ(value.data, 1);
  EXPECT_TRUE(port.isNew());
  RTC::TimedDouble copy;
  port >> copy;
  EXPECT_DOUBLE_EQ(copy.data, 2);
  EXPECT_DOUBLE_EQ(value.data, 2);
  EXPECT_FALSE(port.isNew());
}

TEST(InPort, FullBufferDropsTheOldest) {
  RTC::TimedDouble value;
  RTC::InPort<RTC::TimedDouble> port("in", value, 3);
  for (int i = 1; i <= 5; ++i) {
    deliver(port, timedDouble(i));
  }
  std::vector<double> read;
  while (port.isNew()) {
    port.read();
    read.push_back(value.data);
  }
  EXPECT_EQ(read, (std::vector<double>{3, 4, 5}));
}

TEST(InPort, DefaultBufferHolds64) {
  RTC::TimedDouble value;
  RTC::InPort<RTC::TimedDouble> port("in", value);
  for (int i = 0; i < 70; ++i) {
    deliver(port, timedDouble(i));
  }
  int count = 0;
  double first = -1;
  while (port.read()) {
    if (count++ == 0) {
      first = value.data;
    }
  }
  EXPECT_EQ(count, 64);
  EXPECT_DOUBLE_EQ(first, 6);
}

TEST(InPort, ConcurrentWriterAndReaderLoseNothingButOverflow) {
  RTC::TimedDouble value;
  RTC::InPort<RTC::TimedDouble> port("in", value, 8);
  constexpr int kSamples = 20000;
  std::atomic<bool> done{false};
  std::thread writer([&] {
    for (int i = 1; i <= kSamples; ++i) {
      deliver(port, timedDouble(i));
    }
    done = true;
  });
  double last = 0;
  bool increasing = true;
  int reads = 0;
  while (!done || port.isNew()) {
    if (port.read()) {
      increasing = increasing && value.data > last;
      last = value.data;
      ++reads;
    }
  }
  writer.join();
  EXPECT_TRUE(increasing) << "samples arrive in order, the dropped ones are the oldest";
  EXPECT_DOUBLE_EQ(last, kSamples) << "the newest sample is never dropped";
  EXPECT_GT(reads, 0);
}

TEST(DataPorts, AnnounceTheTypeCodeName) {
  StandinTest::TimedVelocityWithLists velocity;
  RTC::InPort<StandinTest::TimedVelocityWithLists> in("VelocityIn", velocity);
  EXPECT_STREQ(in.getDataTypeName(), "TimedVelocityWithLists");
  EXPECT_STREQ(in.getDataTypeId(), "IDL:StandinTest/TimedVelocityWithLists:1.0");
  RTC::TimedPose2D pose;
  RTC::OutPort<RTC::TimedPose2D> out("PoseOut", pose);
  EXPECT_STREQ(out.getDataTypeName(), "TimedPose2D");
  EXPECT_STREQ(out.getDataTypeId(), "IDL:RTC/TimedPose2D:1.0");
  EXPECT_STREQ(out.getName(), "PoseOut");
}

class Recorder : public rtm_standin::SampleListener {
 public:
  void onSample(cdrMemoryStream& sample) override {
    RTC::TimedPose2D pose;
    pose <<= sample;
    headings.push_back(pose.data.heading);
  }
  std::vector<double> headings;
};

TEST(OutPort, WritePublishesToEveryListener) {
  RTC::TimedPose2D pose;
  RTC::OutPort<RTC::TimedPose2D> port("PoseOut", pose);
  rtm_standin::DataPortCore& core = DataPortAccess::core(port);
  EXPECT_FALSE(core.hasListeners());
  pose.data.heading = 0.5;
  EXPECT_TRUE(port.write()) << "writing with nobody listening is fine";

  auto first = std::make_shared<Recorder>();
  auto second = std::make_shared<Recorder>();
  core.addListener(first);
  core.addListener(second);
  EXPECT_TRUE(core.hasListeners());
  pose.data.heading = 1.5;
  port.write();
  RTC::TimedPose2D other = pose;
  other.data.heading = 2.5;
  port.write(other);
  core.removeListener(first);
  pose.data.heading = 3.5;
  port << pose;
  EXPECT_EQ(first->headings, (std::vector<double>{1.5, 2.5}));
  EXPECT_EQ(second->headings, (std::vector<double>{1.5, 2.5, 3.5}));
}

class PortOwner : public RTC::DataFlowComponentBase {
 public:
  PortOwner()
      : RTC::DataFlowComponentBase(nullptr),
        m_aIn("a", m_value),
        m_bIn("b", m_value),
        m_out("a", m_value) {}
  bool addAll() {
    bool first = addInPort("a", m_aIn);
    bool again = addInPort("a", m_aIn);
    bool sameName = addOutPort("a", m_out);
    bool renamed = addInPort("renamed", m_bIn);
    return first && !again && !sameName && renamed && std::string(m_bIn.getName()) == "renamed";
  }

 private:
  RTC::TimedDouble m_value;
  RTC::InPort<RTC::TimedDouble> m_aIn;
  RTC::InPort<RTC::TimedDouble> m_bIn;
  RTC::OutPort<RTC::TimedDouble> m_out;
};

TEST(DataPorts, PortNamesAreUniquePerComponent) {
  PortOwner owner;
  EXPECT_TRUE(owner.addAll());
}

}  // namespace
