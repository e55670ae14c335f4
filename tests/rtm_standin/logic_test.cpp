// The stand-in's pure logic: the property-file format, the manager's command
// line and configuration, the JSON mapping of samples, and the in-port's
// buffer.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <numeric>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include <sys/stat.h>

#include <rtm/idl/BasicDataTypeSkel.h>
#include <rtm/idl/ExtendedDataTypesSkel.h>

#include "StandinTest.hh"

#include <rtm/DataInPort.h>

#include "control_client.h"
#include "data_port.h"
#include "manager_config.h"
#include "sample_json.h"
#include "temp_dir.h"

namespace {

using rtm_standin::ConfigError;
using test_support::json;
using ::testing::HasSubstr;

TEST(PropertyFile, FormatOfRtcConf) {
  coil::Properties p;
  // clang-format off
  std::istringstream in("# comment\n   ! comment too\n\ncolon: value one\nequals = value two\n"
      "blank value three\n  padded :   both ends   \nurl: http://host:8080/x\nhash: a # b\n"
      "crlf: dos\r\nlist: a, \\\n      b, \\\n      c\nescaped\\:key: x\ntab: a\\tb\n"
      "path: C:\\\\temp\\\\\nlast: unfinished \\");
  // clang-format on
  p.load(in);
  const std::vector<std::pair<std::string, std::string>> expected{
      {"colon", "value one"},  {"equals", "value two"},       {"blank", "value three"},
      {"padded", "both ends"}, {"url", "http://host:8080/x"}, {"hash", "a # b"},
      {"crlf", "dos"},         {"list", "a, b, c"},           {"escaped:key", "x"},
      {"tab", "a\tb"},         {"path", "C:\\temp\\"},        {"last", "unfinished"}};
  for (const auto& [key, value] : expected) {
    EXPECT_EQ(p.getProperty(key), value) << key;
  }
  EXPECT_EQ(p.size(), static_cast<int>(expected.size())) << "comments are no entries";
}

template <typename Error, typename F>
std::string errorOf(F f) {
  try {
    f();
  } catch (const Error& e) {
    return e.what();
  }
  return "no error";
}

rtm_standin::ManagerConfig load(std::vector<std::string> args,
                                const std::string& defaultFile = "/nonexistent") {
  args.insert(args.begin(), "host");
  return rtm_standin::loadManagerConfig(rtm_standin::parseCommandLine(args), defaultFile);
}

TEST(ManagerConfig, FileThenOptionsAndClearErrors) {
  tolvarine_tools::TempDir dir("standin-test");
  dir.write("bad.conf", "a: 1\n\n# no key:\n  : orphan\n");
  rtm_standin::ManagerConfig config = load({"-o", "c: 1", "-oc:2", "-o", "url: h:1"});
  EXPECT_EQ(config.properties.getProperty("c"), "2") << "the last one wins";
  EXPECT_EQ(config.properties.getProperty("url"), "h:1") << "the first colon separates";
  EXPECT_EQ(config.properties.getProperty("exec_cxt.periodic.rate"), "1000");

  const std::vector<std::pair<std::vector<std::string>, std::string>> errors{
      {{"-f"}, "-f needs a file name"},
      {{"-o", "no colon"}, "\"key: value\""},
      {{"-o", ": value"}, "no key"},
      {{"-x"}, "unknown option -x"},
      {{"stray"}, "unexpected argument \"stray\""},
      {{"-f", dir.file("none.conf")}, "cannot read configuration file " + dir.file("none.conf")},
      {{"-f", dir.file("bad.conf")}, "bad.conf:4: entry without a key"},
      {{"-o", "exec_cxt.periodic.rate: fast"}, "positive number of Hz, got \"fast\""},
      {{"-o", "exec_cxt.periodic.rate: 0"}, "positive"},
      // Only regular files of at most 1 MiB, refused without waiting.
      {{"-f", "/dev/zero"}, "/dev/zero: it is a character device, not a regular file"},
      {{"-f", dir.path()}, "it is a directory, not a regular file"},
      {{"-f", dir.file("fifo")}, "fifo: it is a FIFO, not a regular file"},
      {{"-f", dir.file("big.conf")}, "big.conf: it has 1048577 bytes, more than the 1048576 read"}};
  ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
  dir.write("big.conf", "# " + std::string((1 << 20) - 3, '-') + "\n+");
  dir.write("full.conf", "a: 2\n# " + std::string((1 << 20) - 8, '-') + "\n");
  for (const auto& [args, message] : errors) {
    SCOPED_TRACE(message);
    EXPECT_THAT(errorOf<ConfigError>([&] { load(args); }), HasSubstr(message));
  }
  EXPECT_EQ(load({"-f", dir.file("full.conf")}).properties.getProperty("a"), "2")
      << "exactly 1 MiB is read";
}

// Strings in CDR need the ORB's code sets.
int g_argc = 1;
char g_name[] = "logic_test", *g_argv[] = {g_name, nullptr};
CORBA::ORB_var g_orb = CORBA::ORB_init(g_argc, g_argv);

template <typename T>
CORBA::TypeCode_var typeOf() {
  CORBA::Any any;
  any <<= T();
  return any.type();
}

// JSON to a sample of T and back, through CDR as the host does.
template <typename T>
json roundTrip(const json& in, T* sample = nullptr) {
  cdrMemoryStream stream;
  rtm_standin::sampleFromJson(typeOf<T>(), in, stream);
  T value;
  value <<= stream;
  if (sample != nullptr) {
    *sample = value;
  }
  cdrMemoryStream again;
  value >>= again;
  return rtm_standin::sampleToJson(typeOf<T>(), again);
}

TEST(SampleJson, EveryKindRoundTripsInDeclarationOrder) {
  const json in = json::parse(R"({"tm":{"sec":4000000000,"nsec":999999999},
    "name":"wheel chair ✓","code":"ABCD","mode":"FAULT","flag":true,"letter":"x","byte":255,
    "s":-32768,"ul":4294967295,"ll":-9223372036854775807,"ull":18446744073709551615,
    "f":0.5,"d":-1e-300,"matrix":[[1.0,2.0,3.0],[4.0,5.0,6.0]],"few":[1,2,3],
    "points":[{"x":1.0,"y":2.0},{"x":-3.0,"y":4.5}]})");
  StandinTest::Everything sample;
  EXPECT_EQ(roundTrip(in, &sample), in);
  EXPECT_EQ(sample.mode, StandinTest::FAULT);
  EXPECT_EQ(sample.ull, 18446744073709551615ull);
  EXPECT_DOUBLE_EQ(sample.matrix[1][2], 6);
  EXPECT_DOUBLE_EQ(sample.points[1].y, 4.5);

  EXPECT_EQ(roundTrip<StandinTest::Everything>(json::parse(R"({"tm":{"sec":1},"mode":1})")),
            json::parse(R"({"tm":{"sec":1,"nsec":0},"name":"","code":"","mode":"RUNNING",
              "flag":false,"letter":"\u0000","byte":0,"s":0,"ul":0,"ll":0,"ull":0,"f":0.0,"d":0.0,
              "matrix":[[0.0,0.0,0.0],[0.0,0.0,0.0]],"few":[],"points":[]})"))
      << "missing fields are zero or empty; an enumerator may be a number";
  EXPECT_EQ(
      roundTrip<StandinTest::TimedVelocityWithLists>(json::parse(
          R"({"tm":{"sec":5,"nsec":6},"data":{"vx":"NaN","vy":"-inf","va":null},"error":["inf"]})")),
      json::parse(R"({"tm":{"sec":5,"nsec":6},"id":[],
              "data":{"vx":"NaN","vy":"-Infinity","va":"NaN"},"error":["Infinity"]})"));
}

TEST(SampleJson, MismatchesNameTheField) {
  const std::vector<std::pair<const char*, const char*>> cases{
      {R"({"nme":"x"})", "Everything has no field 'nme' (fields: tm, name,"},
      {R"({"byte":256})", "'byte' is out of range [0, 255]"},
      {R"({"ll":1.5})", "'ll' must be an integer"},
      {R"({"d":"fast"})", "'d' must be a number"},
      {R"({"flag":1})", "'flag' must be true or false"},
      {R"({"mode":"ON"})", "one of IDLE, RUNNING, FAULT"},
      {R"({"code":"TOOLONG"})", "at most 4 characters"},
      {R"({"few":[1,2,3,4]})", "at most 3 elements"},
      {R"({"points":[{"x":"a"}]})", "'points[0].x' must be a number"},
      {R"([1,2])", "the sample must be an object"}};
  for (const auto& [sample, message] : cases) {
    SCOPED_TRACE(sample);
    EXPECT_THAT(errorOf<rtm_standin::SampleError>(
                    [&] { roundTrip<StandinTest::Everything>(json::parse(sample)); }),
                HasSubstr(message));
  }
  std::string why;
  EXPECT_FALSE(rtm_standin::convertible(typeOf<StandinTest::WithUnion>(), why));
  EXPECT_THAT(why, HasSubstr("union"));
  EXPECT_TRUE(rtm_standin::convertible(typeOf<StandinTest::TimedVelocityWithLists>(), why));
}

TEST(InPort, EightSamplesFirstInFirstOutOverwritingTheOldest) {
  // OpenRTM-aist keeps 8 samples per connection whatever `bufsize` says.
  for (int bufsize : {3, 64}) {
    SCOPED_TRACE(bufsize);
    RTC::TimedDouble value;
    value.data = -1;
    RTC::InPort<RTC::TimedDouble> port("in", value, bufsize);
    RTC::TimedDouble sample;
    sample.tm.sec = sample.tm.nsec = 0;
    EXPECT_FALSE(port.read());
    EXPECT_DOUBLE_EQ(value.data, -1) << "nothing read, nothing changed";
    for (int i = 1; i <= 10; ++i) {
      sample.data = i;
      cdrMemoryStream stream;
      sample >>= stream;
      rtm_standin::DataPortAccess::put(port, stream);
    }
    std::vector<double> read;
    while (port.isNew() && port.read()) {
      read.push_back(value.data);
    }
    EXPECT_EQ(read, (std::vector<double>{3, 4, 5, 6, 7, 8, 9, 10})) << "1 and 2 were overwritten";
  }
}

}  // namespace
