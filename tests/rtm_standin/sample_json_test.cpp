// The generated data types of module RTC and the JSON mapping of samples of
// any IDL type.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include <rtm/idl/BasicDataTypeSkel.h>
#include <rtm/idl/ExtendedDataTypesSkel.h>

#include "StandinTest.hh"
#include "sample_json.h"

namespace {

using json = nlohmann::ordered_json;
using rtm_standin::SampleError;
using rtm_standin::schemaOf;
using ::testing::HasSubstr;

// Strings in CDR need the ORB's code sets.
class OrbEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    int argc = 1;
    char name[] = "sample_json_test";
    char* argv[] = {name, nullptr};
    orb = CORBA::ORB_init(argc, argv);
  }
  void TearDown() override { orb->destroy(); }
  CORBA::ORB_var orb;
};

const ::testing::Environment* const orbEnvironment =
    ::testing::AddGlobalTestEnvironment(new OrbEnvironment);

using Members = std::vector<std::pair<std::string, CORBA::TCKind>>;

Members membersOf(CORBA::TypeCode_ptr tc) {
  Members out;
  for (CORBA::ULong i = 0; i < tc->member_count(); ++i) {
    CORBA::TypeCode_var member = tc->member_type(i);
    out.emplace_back(tc->member_name(i), member->kind());
  }
  return out;
}

template <typename T>
std::shared_ptr<const rtm_standin::TypeSchema> schemaFor(const T& sample) {
  CORBA::Any any;
  any <<= sample;
  CORBA::TypeCode_var tc = any.type();
  return schemaOf(tc.in());
}

template <typename T>
json toJson(const T& sample) {
  cdrMemoryStream stream;
  sample >>= stream;
  stream.rewindInputPtr();
  return rtm_standin::sampleToJson(*schemaFor(sample), stream);
}

// Generated structs leave their members uninitialised; T() zeroes them.
template <typename T>
T fromJson(const json& value) {
  cdrMemoryStream stream;
  rtm_standin::sampleFromJson(*schemaFor(T()), value, stream);
  stream.rewindInputPtr();
  T out;
  out <<= stream;
  return out;
}

template <typename T>
std::string errorFor(const json& value) {
  try {
    fromJson<T>(value);
  } catch (const SampleError& e) {
    return e.what();
  }
  return "";
}

// The members of the RTC types as their type codes list them.
TEST(RtcTypes, RepositoryIdsAndMembers) {
  EXPECT_STREQ(RTC::_tc_Time->id(), "IDL:RTC/Time:1.0");
  EXPECT_EQ(membersOf(RTC::_tc_Time),
            (Members{{"sec", CORBA::tk_ulong}, {"nsec", CORBA::tk_ulong}}));
  EXPECT_STREQ(RTC::_tc_Velocity2D->id(), "IDL:RTC/Velocity2D:1.0");
  EXPECT_EQ(
      membersOf(RTC::_tc_Velocity2D),
      (Members{{"vx", CORBA::tk_double}, {"vy", CORBA::tk_double}, {"va", CORBA::tk_double}}));
  EXPECT_STREQ(RTC::_tc_Point2D->id(), "IDL:RTC/Point2D:1.0");
  EXPECT_EQ(membersOf(RTC::_tc_Point2D),
            (Members{{"x", CORBA::tk_double}, {"y", CORBA::tk_double}}));
  EXPECT_STREQ(RTC::_tc_Pose2D->id(), "IDL:RTC/Pose2D:1.0");
  EXPECT_EQ(membersOf(RTC::_tc_Pose2D),
            (Members{{"position", CORBA::tk_struct}, {"heading", CORBA::tk_double}}));
  EXPECT_STREQ(RTC::_tc_PoseVel2D->id(), "IDL:RTC/PoseVel2D:1.0");
  EXPECT_EQ(membersOf(RTC::_tc_PoseVel2D),
            (Members{{"pose", CORBA::tk_struct}, {"velocities", CORBA::tk_struct}}));
  CORBA::TypeCode_var position = RTC::_tc_Pose2D->member_type(0);
  EXPECT_STREQ(position->id(), "IDL:RTC/Point2D:1.0");
  EXPECT_STREQ(RTC::_tc_TimedVelocity2D->id(), "IDL:RTC/TimedVelocity2D:1.0");
  EXPECT_EQ(membersOf(RTC::_tc_TimedVelocity2D),
            (Members{{"tm", CORBA::tk_struct}, {"data", CORBA::tk_struct}}));
}

TEST(RtcTypes, AnyAndCdrRoundTrips) {
  RTC::TimedPose2D pose;
  pose.tm.sec = 123;
  pose.tm.nsec = 456000000;
  pose.data.position.x = 1.25;
  pose.data.position.y = -2.5;
  pose.data.heading = 0.75;
  CORBA::Any any;
  any <<= pose;
  const RTC::TimedPose2D* back = nullptr;
  ASSERT_TRUE(any >>= back);
  EXPECT_EQ(back->tm.nsec, 456000000u);
  EXPECT_DOUBLE_EQ(back->data.position.y, -2.5);

  cdrMemoryStream stream;
  pose >>= stream;
  // Two unsigned longs, then three doubles (8-byte aligned after offset 8).
  EXPECT_EQ(stream.bufSize(), 8u + 3 * 8u);
  stream.rewindInputPtr();
  RTC::TimedPose2D copy;
  copy <<= stream;
  EXPECT_DOUBLE_EQ(copy.data.heading, 0.75);
}

TEST(SampleJson, RtcStructToJsonInDeclarationOrder) {
  RTC::TimedPose2D pose;
  pose.tm.sec = 123;
  pose.tm.nsec = 456000000;
  pose.data.position.x = 1.25;
  pose.data.position.y = -2.5;
  pose.data.heading = 0.75;
  EXPECT_EQ(
      toJson(pose).dump(),
      R"({"tm":{"sec":123,"nsec":456000000},"data":{"position":{"x":1.25,"y":-2.5},"heading":0.75}})");
}

TEST(SampleJson, TimedTypeWithListsFromFieldsByName) {
  const auto before = std::chrono::system_clock::now();
  auto sample = fromJson<StandinTest::TimedVelocityWithLists>(
      json::parse(R"({"data":{"vx":0.3,"vy":0,"va":0.1}})"));
  const auto after = std::chrono::system_clock::now();
  EXPECT_DOUBLE_EQ(sample.data.vx, 0.3);
  EXPECT_DOUBLE_EQ(sample.data.vy, 0);
  EXPECT_DOUBLE_EQ(sample.data.va, 0.1);
  EXPECT_EQ(sample.id.length(), 0u);
  EXPECT_EQ(sample.error.length(), 0u);
  // A missing time stamp is the current time.
  const double stamp = sample.tm.sec + sample.tm.nsec * 1e-9;
  const double lo = std::chrono::duration<double>(before.time_since_epoch()).count();
  const double hi = std::chrono::duration<double>(after.time_since_epoch()).count();
  EXPECT_GE(stamp, std::floor(lo));
  EXPECT_LE(stamp, hi + 1e-6);
  EXPECT_LT(sample.tm.nsec, 1000000000u);

  auto stamped = fromJson<StandinTest::TimedVelocityWithLists>(
      json::parse(R"({"tm":{"sec":5},"id":[1,-2],"data":{"va":-1},"error":[0.5]})"));
  EXPECT_EQ(stamped.tm.sec, 5u);
  EXPECT_EQ(stamped.tm.nsec, 0u) << "a partial time stamp is not filled in";
  ASSERT_EQ(stamped.id.length(), 2u);
  EXPECT_EQ(stamped.id[1], -2);
  EXPECT_DOUBLE_EQ(stamped.data.vx, 0) << "missing fields are zero";
  EXPECT_DOUBLE_EQ(stamped.data.va, -1);
  EXPECT_EQ(
      toJson(stamped).dump(),
      R"({"tm":{"sec":5,"nsec":0},"id":[1,-2],"data":{"vx":0.0,"vy":0.0,"va":-1.0},"error":[0.5]})");
}

TEST(SampleJson, EveryKindRoundTrips) {
  const json in = json::parse(R"({
    "tm": {"sec": 4000000000, "nsec": 999999999},
    "name": "wheel chair ✓",
    "code": "ABCD",
    "mode": "FAULT",
    "flag": true,
    "letter": "x",
    "byte": 255,
    "s": -32768,
    "us": 65535,
    "l": -2147483648,
    "ul": 4294967295,
    "ll": -9223372036854775807,
    "ull": 18446744073709551615,
    "f": 0.5,
    "d": -1e-300,
    "matrix": [[1, 2, 3], [4, 5, 6]],
    "ids": [7, 8],
    "few": [1, 2, 3],
    "points": [{"x": 1, "y": 2}, {"x": -3, "y": 4.5}],
    "words": ["a", ""]
  })");
  auto sample = fromJson<StandinTest::Everything>(in);
  EXPECT_STREQ(sample.name, "wheel chair ✓");
  EXPECT_EQ(sample.mode, StandinTest::FAULT);
  EXPECT_EQ(sample.ull, 18446744073709551615ull);
  EXPECT_DOUBLE_EQ(sample.matrix[1][2], 6);
  ASSERT_EQ(sample.points.length(), 2u);
  EXPECT_DOUBLE_EQ(sample.points[1].y, 4.5);

  json out = toJson(sample);
  for (const char* field : {"tm", "name", "code", "mode", "flag", "letter", "byte", "s", "us", "l",
                            "ul", "ll", "ull", "ids", "few", "points", "words"}) {
    EXPECT_EQ(out[field], in[field]) << field;
  }
  EXPECT_EQ(out["matrix"], json::parse("[[1.0,2.0,3.0],[4.0,5.0,6.0]]"));
  EXPECT_DOUBLE_EQ(out["f"].get<double>(), 0.5);
  EXPECT_DOUBLE_EQ(out["d"].get<double>(), -1e-300);
  std::vector<std::string> order;
  for (auto it = out.begin(); it != out.end(); ++it) {
    order.push_back(it.key());
  }
  EXPECT_EQ(order.front(), "tm");
  EXPECT_EQ(order.back(), "words");
}

TEST(SampleJson, MissingFieldsAreZeroEmptyOrFirstEnumerator) {
  auto sample = fromJson<StandinTest::Everything>(json::parse(R"({"tm":{"sec":1,"nsec":2}})"));
  EXPECT_STREQ(sample.name, "");
  EXPECT_EQ(sample.mode, StandinTest::IDLE);
  EXPECT_FALSE(sample.flag);
  EXPECT_EQ(sample.l, 0);
  EXPECT_DOUBLE_EQ(sample.matrix[0][0], 0);
  EXPECT_EQ(sample.points.length(), 0u);
  EXPECT_EQ(sample.tm.nsec, 2u);
}

TEST(SampleJson, NonFiniteFloatingPoint) {
  auto sample = fromJson<StandinTest::TimedVelocityWithLists>(
      json::parse(R"({"data":{"vx":"NaN","vy":"-Infinity","va":"inf"},"error":[null,"-inf"]})"));
  EXPECT_TRUE(std::isnan(sample.data.vx));
  EXPECT_EQ(sample.data.vy, -std::numeric_limits<double>::infinity());
  EXPECT_EQ(sample.data.va, std::numeric_limits<double>::infinity());
  EXPECT_TRUE(std::isnan(sample.error[0]));
  json out = toJson(sample);
  EXPECT_EQ(out["data"].dump(), R"({"vx":"NaN","vy":"-Infinity","va":"Infinity"})");
  EXPECT_EQ(out["error"].dump(), R"(["NaN","-Infinity"])");
}

TEST(SampleJson, MismatchesNameTheField) {
  using T = StandinTest::Everything;
  EXPECT_THAT(errorFor<T>(json::parse(R"({"nme":"x"})")),
              HasSubstr("Everything has no field 'nme' (fields: tm, name,"));
  EXPECT_THAT(errorFor<T>(json::parse(R"({"tm":{"secs":1}})")), HasSubstr("no field 'tm.secs'"));
  EXPECT_THAT(errorFor<T>(json::parse(R"({"byte":256})")),
              HasSubstr("'byte' is out of range [0, 255]"));
  EXPECT_THAT(errorFor<T>(json::parse(R"({"s":40000})")), HasSubstr("'s' is out of range"));
  EXPECT_THAT(errorFor<T>(json::parse(R"({"ul":-1})")), HasSubstr("'ul' is out of range"));
  EXPECT_THAT(errorFor<T>(json::parse(R"({"l":1.5})")), HasSubstr("'l' must be an integer"));
  EXPECT_TRUE(errorFor<T>(json::parse(R"({"l":2.0})")).empty()) << "an integral float is fine";
  EXPECT_THAT(errorFor<T>(json::parse(R"({"d":"fast"})")), HasSubstr("'d' must be a number"));
  EXPECT_THAT(errorFor<T>(json::parse(R"({"flag":1})")), HasSubstr("'flag' must be true or false"));
  EXPECT_THAT(errorFor<T>(json::parse(R"({"letter":"xy"})")), HasSubstr("one-character string"));
  EXPECT_THAT(errorFor<T>(json::parse(R"({"mode":"ON"})")),
              HasSubstr("one of IDLE, RUNNING, FAULT"));
  EXPECT_THAT(errorFor<T>(json::parse(R"({"code":"TOOLONG"})")), HasSubstr("at most 4 characters"));
  EXPECT_THAT(errorFor<T>(json::parse(R"({"few":[1,2,3,4]})")), HasSubstr("at most 3 elements"));
  EXPECT_THAT(errorFor<T>(json::parse(R"({"matrix":[[1,2,3]]})")), HasSubstr("exactly 2 elements"));
  EXPECT_THAT(errorFor<T>(json::parse(R"({"points":[{"x":"a"}]})")),
              HasSubstr("'points[0].x' must be a number"));
  EXPECT_THAT(errorFor<T>(json::parse(R"({"ids":{"0":1}})")), HasSubstr("'ids' must be an array"));
  EXPECT_THAT(errorFor<T>(json::parse("[1,2]")), HasSubstr("the sample must be an object"));
  EXPECT_EQ(fromJson<T>(json::parse(R"({"mode":1})")).mode, StandinTest::RUNNING)
      << "an enumerator may be given by number";
}

TEST(SampleJson, UnionsAreRefusedUpFront) {
  auto schema = schemaFor(StandinTest::WithUnion());
  std::string why;
  EXPECT_FALSE(rtm_standin::convertible(*schema, why));
  EXPECT_THAT(why, HasSubstr("union"));
  EXPECT_THAT(errorFor<StandinTest::WithUnion>(json::parse(R"({"choice":{}})")),
              HasSubstr("'choice' is a union"));
  EXPECT_TRUE(rtm_standin::convertible(*schemaFor(RTC::TimedPose2D()), why));
}

}  // namespace
