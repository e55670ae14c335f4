// The port data types as omniidl generates them from the component's IDL,
// and the split of the millisecond tick into the samples' time stamps.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <time.h>

#include "ZEQ2.hh"
#include "time_stamp.h"

namespace {

struct Member {
  const char* name;
  CORBA::TCKind kind;
};

// Names and kinds of a struct type code's members, in order.
std::vector<std::string> memberNames(CORBA::TypeCode_ptr tc) {
  std::vector<std::string> names;
  for (CORBA::ULong i = 0; i < tc->member_count(); ++i) {
    names.push_back(tc->member_name(i));
  }
  return names;
}

void expectStruct(CORBA::TypeCode_ptr tc, const char* id, const char* name,
                  const std::vector<Member>& members) {
  SCOPED_TRACE(id);
  ASSERT_EQ(tc->kind(), CORBA::tk_struct);
  EXPECT_STREQ(tc->id(), id);
  EXPECT_STREQ(tc->name(), name);
  ASSERT_EQ(tc->member_count(), members.size());
  for (CORBA::ULong i = 0; i < members.size(); ++i) {
    EXPECT_STREQ(tc->member_name(i), members[i].name);
    CORBA::TypeCode_var type = tc->member_type(i);
    EXPECT_EQ(type->kind(), members[i].kind) << "member " << members[i].name;
  }
}

// An unbounded sequence member and the kind of its elements.
void expectUnboundedSequence(CORBA::TypeCode_ptr structTc, CORBA::ULong member,
                             CORBA::TCKind element) {
  CORBA::TypeCode_var seq = structTc->member_type(member);
  ASSERT_EQ(seq->kind(), CORBA::tk_sequence) << structTc->member_name(member);
  EXPECT_EQ(seq->length(), 0u) << structTc->member_name(member) << " is bounded";
  CORBA::TypeCode_var content = seq->content_type();
  EXPECT_EQ(content->kind(), element) << structTc->member_name(member);
}

// The four members every ZEQ struct has: tm, id, data, error.
void expectTimedLayout(CORBA::TypeCode_ptr tc, const char* id, const char* name,
                       CORBA::TCKind dataKind) {
  expectStruct(tc, id, name,
               {{"tm", CORBA::tk_struct},
                {"id", CORBA::tk_sequence},
                {"data", dataKind},
                {"error", CORBA::tk_sequence}});
  expectUnboundedSequence(tc, 1, CORBA::tk_long);
  expectUnboundedSequence(tc, 3, CORBA::tk_double);
  CORBA::TypeCode_var tm = tc->member_type(0);
  expectStruct(tm, "IDL:RTC/Time:1.0", "Time",
               {{"sec", CORBA::tk_ulong}, {"nsec", CORBA::tk_ulong}});
}

ZEQ::TimedVelocity2D sampleVelocity() {
  ZEQ::TimedVelocity2D v;
  v.tm.sec = 1;
  v.tm.nsec = 2;
  v.id.length(2);
  v.id[0] = 7;
  v.id[1] = -1;
  v.data.vx = 0.5;
  v.data.vy = -0.25;
  v.data.va = 2.0;
  v.error.length(1);
  v.error[0] = 0.125;
  return v;
}

void expectSameVelocity(const ZEQ::TimedVelocity2D& a, const ZEQ::TimedVelocity2D& b) {
  EXPECT_EQ(a.tm.sec, b.tm.sec);
  EXPECT_EQ(a.tm.nsec, b.tm.nsec);
  ASSERT_EQ(a.id.length(), b.id.length());
  for (CORBA::ULong i = 0; i < a.id.length(); ++i) {
    EXPECT_EQ(a.id[i], b.id[i]);
  }
  EXPECT_EQ(a.data.vx, b.data.vx);
  EXPECT_EQ(a.data.vy, b.data.vy);
  EXPECT_EQ(a.data.va, b.data.va);
  ASSERT_EQ(a.error.length(), b.error.length());
  for (CORBA::ULong i = 0; i < a.error.length(); ++i) {
    EXPECT_EQ(a.error[i], b.error[i]);
  }
}

template <class T>
T readAt(const cdrMemoryStream& s, std::size_t offset) {
  T value;
  std::memcpy(&value, static_cast<const char*>(s.bufPtr()) + offset, sizeof value);
  return value;
}

}  // namespace

TEST(ComponentDataTypes, DefaultSamplesHaveEmptySequences) {
  ZEQ::TimedVelocity2D velocity;
  EXPECT_EQ(velocity.id.length(), 0u);
  EXPECT_EQ(velocity.error.length(), 0u);

  ZEQ::TimedPose2D pose;
  EXPECT_EQ(pose.id.length(), 0u);
  EXPECT_EQ(pose.error.length(), 0u);

  ZEQ::TimedPoseVel2DSeq poseVelocities;
  EXPECT_EQ(poseVelocities.id.length(), 0u);
  EXPECT_EQ(poseVelocities.data.length(), 0u);
  EXPECT_EQ(poseVelocities.error.length(), 0u);

  ZEQ::TimedPose2DSeq poses;
  EXPECT_EQ(poses.id.length(), 0u);
  EXPECT_EQ(poses.data.length(), 0u);
  EXPECT_EQ(poses.error.length(), 0u);
}

TEST(ComponentDataTypes, SamplesCopyTheirSequences) {
  const ZEQ::TimedVelocity2D original = sampleVelocity();
  ZEQ::TimedVelocity2D copy = original;
  copy.id[0] = 99;
  copy.error.length(3);
  EXPECT_EQ(original.id[0], 7);
  EXPECT_EQ(original.error.length(), 1u);

  ZEQ::TimedVelocity2D assigned;
  assigned = original;
  expectSameVelocity(assigned, original);
}

TEST(ComponentDataTypes, VelocitySurvivesAnyInsertionAndExtraction) {
  for (const ZEQ::TimedVelocity2D& in : {ZEQ::TimedVelocity2D(), sampleVelocity()}) {
    SCOPED_TRACE(in.id.length() == 0 ? "empty sequences" : "filled sequences");
    CORBA::Any any;
    any <<= in;
    CORBA::TypeCode_var type = any.type();
    EXPECT_TRUE(type->equal(ZEQ::_tc_TimedVelocity2D));

    const ZEQ::TimedVelocity2D* out = nullptr;
    ASSERT_TRUE(any >>= out);
    ASSERT_NE(out, nullptr);
    expectSameVelocity(*out, in);

    // The Any knows its type: a pose cannot be taken out of it.
    const ZEQ::TimedPose2D* wrong = nullptr;
    EXPECT_FALSE(any >>= wrong);
  }
}

TEST(ComponentDataTypes, VelocitySurvivesCdrMarshalling) {
  for (const ZEQ::TimedVelocity2D& in : {ZEQ::TimedVelocity2D(), sampleVelocity()}) {
    SCOPED_TRACE(in.id.length() == 0 ? "empty sequences" : "filled sequences");
    cdrMemoryStream stream;
    in >>= stream;
    ZEQ::TimedVelocity2D out;
    out.data.vx = 42.0;  // overwritten by the unmarshalling
    stream.rewindInputPtr();
    out <<= stream;
    expectSameVelocity(out, in);
  }
}

TEST(ComponentDataTypes, VelocityMarshalsMembersInDeclarationOrder) {
  // CDR in this stream's byte order, offsets from the stream's start:
  //   0 tm.sec, 4 tm.nsec (unsigned longs)
  //   8 id: count 2, then 12 and 16 the two longs
  //  24 data: 20 padded to the next multiple of 8; vx, vy, va at 24, 32, 40
  //  48 error: count 1, then its double at 56 (52 padded to 8)
  //  64 bytes in all
  const ZEQ::TimedVelocity2D in = sampleVelocity();
  cdrMemoryStream stream;
  in >>= stream;
  ASSERT_EQ(stream.bufSize(), 64u);
  EXPECT_EQ(readAt<std::uint32_t>(stream, 0), 1u);
  EXPECT_EQ(readAt<std::uint32_t>(stream, 4), 2u);
  EXPECT_EQ(readAt<std::uint32_t>(stream, 8), 2u);
  EXPECT_EQ(readAt<std::int32_t>(stream, 12), 7);
  EXPECT_EQ(readAt<std::int32_t>(stream, 16), -1);
  EXPECT_EQ(readAt<double>(stream, 24), 0.5);
  EXPECT_EQ(readAt<double>(stream, 32), -0.25);
  EXPECT_EQ(readAt<double>(stream, 40), 2.0);
  EXPECT_EQ(readAt<std::uint32_t>(stream, 48), 1u);
  EXPECT_EQ(readAt<double>(stream, 56), 0.125);
}

TEST(ComponentDataTypes, PoseMarshalsMembersInDeclarationOrder) {
  //   0 tm.sec, 4 tm.nsec; 8 id count 0; 16 data (12 padded to 8):
  //   position.x 16, position.y 24, heading 32; 40 error count 0; 44 bytes
  ZEQ::TimedPose2D pose;
  pose.tm.sec = 123;
  pose.tm.nsec = 456000000;
  pose.data.position.x = 1.5;
  pose.data.position.y = -2.5;
  pose.data.heading = 0.75;
  cdrMemoryStream stream;
  pose >>= stream;
  ASSERT_EQ(stream.bufSize(), 44u);
  EXPECT_EQ(readAt<std::uint32_t>(stream, 0), 123u);
  EXPECT_EQ(readAt<std::uint32_t>(stream, 4), 456000000u);
  EXPECT_EQ(readAt<std::uint32_t>(stream, 8), 0u);
  EXPECT_EQ(readAt<double>(stream, 16), 1.5);
  EXPECT_EQ(readAt<double>(stream, 24), -2.5);
  EXPECT_EQ(readAt<double>(stream, 32), 0.75);
  EXPECT_EQ(readAt<std::uint32_t>(stream, 40), 0u);
}

TEST(ComponentDataTypes, TypeCodesNameTheStructsAndTheirMembers) {
  expectTimedLayout(ZEQ::_tc_TimedVelocity2D, "IDL:ZEQ/TimedVelocity2D:1.0", "TimedVelocity2D",
                    CORBA::tk_struct);
  expectTimedLayout(ZEQ::_tc_TimedPose2D, "IDL:ZEQ/TimedPose2D:1.0", "TimedPose2D",
                    CORBA::tk_struct);
  expectTimedLayout(ZEQ::_tc_TimedPoseVel2DSeq, "IDL:ZEQ/TimedPoseVel2DSeq:1.0",
                    "TimedPoseVel2DSeq", CORBA::tk_sequence);
  expectTimedLayout(ZEQ::_tc_TimedPose2DSeq, "IDL:ZEQ/TimedPose2DSeq:1.0", "TimedPose2DSeq",
                    CORBA::tk_sequence);

  EXPECT_EQ(memberNames(ZEQ::_tc_TimedPose2D),
            (std::vector<std::string>{"tm", "id", "data", "error"}));

  // The middleware types inside them, as the generated unit describes them.
  CORBA::TypeCode_var velocity = ZEQ::_tc_TimedVelocity2D->member_type(2);
  expectStruct(velocity, "IDL:RTC/Velocity2D:1.0", "Velocity2D",
               {{"vx", CORBA::tk_double}, {"vy", CORBA::tk_double}, {"va", CORBA::tk_double}});

  CORBA::TypeCode_var pose = ZEQ::_tc_TimedPose2D->member_type(2);
  expectStruct(pose, "IDL:RTC/Pose2D:1.0", "Pose2D",
               {{"position", CORBA::tk_struct}, {"heading", CORBA::tk_double}});
  CORBA::TypeCode_var point = pose->member_type(0);
  expectStruct(point, "IDL:RTC/Point2D:1.0", "Point2D",
               {{"x", CORBA::tk_double}, {"y", CORBA::tk_double}});

  CORBA::TypeCode_var poseVelSeq = ZEQ::_tc_TimedPoseVel2DSeq->member_type(2);
  EXPECT_EQ(poseVelSeq->length(), 0u);
  CORBA::TypeCode_var poseVel = poseVelSeq->content_type();
  expectStruct(poseVel, "IDL:RTC/PoseVel2D:1.0", "PoseVel2D",
               {{"pose", CORBA::tk_struct}, {"velocities", CORBA::tk_struct}});

  CORBA::TypeCode_var poseSeq = ZEQ::_tc_TimedPose2DSeq->member_type(2);
  EXPECT_EQ(poseSeq->length(), 0u);
  CORBA::TypeCode_var poseElement = poseSeq->content_type();
  EXPECT_STREQ(poseElement->id(), "IDL:RTC/Pose2D:1.0");
}

TEST(ComponentTimeStamp, TickSplitsIntoSecondsAndNanoseconds) {
  ZEQ::TimedVelocity2D velocity;
  ZEQ::TimedPose2D pose;
  tolvarine_component::setTimeStamp(velocity.tm, 123456u);
  tolvarine_component::setTimeStamp(pose.tm, 123456u);
  EXPECT_EQ(velocity.tm.sec, 123u);
  EXPECT_EQ(velocity.tm.nsec, 456000000u);
  EXPECT_EQ(pose.tm.sec, 123u);
  EXPECT_EQ(pose.tm.nsec, 456000000u);

  RTC::Time tm;
  tolvarine_component::setTimeStamp(tm, 999u);
  EXPECT_EQ(tm.sec, 0u);
  EXPECT_EQ(tm.nsec, 999000000u);
  tolvarine_component::setTimeStamp(tm, 1000u);
  EXPECT_EQ(tm.sec, 1u);
  EXPECT_EQ(tm.nsec, 0u);
  // The last tick before the 32-bit counter wraps.
  tolvarine_component::setTimeStamp(tm, 4294967295u);
  EXPECT_EQ(tm.sec, 4294967u);
  EXPECT_EQ(tm.nsec, 295000000u);
}

TEST(ComponentTimeStamp, TickIsTheMonotonicClockInMilliseconds) {
  auto monotonicMs = [] {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(now.tv_sec) * 1000u +
                                      static_cast<std::uint64_t>(now.tv_nsec) / 1000000u);
  };
  for (int i = 0; i < 100; ++i) {
    const std::uint32_t before = monotonicMs();
    const std::uint32_t tick = tolvarine_component::millisecondTick();
    const std::uint32_t after = monotonicMs();
    // Differences modulo 2^32, as the tick wraps.
    EXPECT_LE(static_cast<std::uint32_t>(tick - before), static_cast<std::uint32_t>(after - before))
        << "tick " << tick << " outside [" << before << ", " << after << "]";
  }
}
