// The stand-in's pure logic: the property-file format, coil::Properties and
// coil::stringTo, the manager's command line and configuration precedence,
// the JSON mapping of samples, and the in-port's buffer.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <sstream>
#include <string>
#include <vector>

#include <rtm/idl/BasicDataTypeSkel.h>
#include <rtm/idl/ExtendedDataTypesSkel.h>

#include "StandinTest.hh"

#include <rtm/DataInPort.h>

#include "data_port.h"
#include "manager_config.h"
#include "sample_json.h"
#include "support.h"

namespace {

using rtm_standin::ConfigError;
using standin_test::json;
using ::testing::HasSubstr;
using Names = std::vector<std::string>;

TEST(PropertyFile, FormatOfRtcConf) {
  coil::Properties p;
  std::istringstream in(
      "# comment\n   ! comment too\n\n"
      "colon: value one\n"
      "equals = value two\n"
      "blank value three\n"
      "  padded :   both ends   \n"
      "url: http://host:8080/x\n"
      "hash: a # b\n"
      "crlf: dos\r\n"
      "list: a, \\\n"
      "      b, \\\n"
      "      c\n"
      "escaped\\:key: x\n"
      "tab: a\\tb\n"
      "path: C:\\\\temp\\\\\n"
      "last: unfinished \\");
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

TEST(Properties, ProfileArrayDefaultsAndTree) {
  static const char* profile[] = {"type_name", "Thing", "conf.default.b", " two ",
                                  "",          "after", "end.key",        "x"};
  coil::Properties p(profile);
  EXPECT_EQ(p.propertyNames(), (Names{"type_name", "conf.default.b"}))
      << "in order, up to the empty key";
  EXPECT_EQ(p.getProperty("conf.default.b"), "two");
  EXPECT_EQ(p.getNode("conf.default").propertyNames(), (Names{"b"}));
  p.setProperty("type_name", "Other");
  EXPECT_EQ(p.getProperty("type_name"), "Other");
  p.setProperty("type_name", "");
  EXPECT_EQ(p.getProperty("type_name"), "Thing") << "a cleared value falls back to the default";
  EXPECT_EQ(p.getProperty("missing", "fallback"), "fallback");
}

TEST(StringTo, ConvertsOrKeepsTheValue) {
  struct Case {
    const char* text;
    bool ok;
    double value;
  };
  for (const Case& c : std::vector<Case>{{"0.5488", true, 0.5488},
                                         {"  -2e3", true, -2000},
                                         {"1.5m", true, 1.5},
                                         {"abc", false, 7},
                                         {"", false, 7},
                                         {nullptr, false, 7}}) {
    SCOPED_TRACE(c.text != nullptr ? c.text : "null");
    double d = 7;
    EXPECT_EQ(coil::stringTo(d, c.text), c.ok);
    EXPECT_DOUBLE_EQ(d, c.value);
  }
  int i = 7;
  EXPECT_FALSE(coil::stringTo(i, "99999999999999999999"));
  EXPECT_EQ(i, 7);
  std::string s;
  EXPECT_TRUE(coil::stringTo(s, "  COM 3  "));
  EXPECT_EQ(s, "  COM 3  ") << "a string takes the whole text";
  for (const char* yes : {"true", "TRUE", "1", "yes", "On"}) {
    bool b = false;
    EXPECT_TRUE(coil::stringTo(b, yes) && b) << yes;
  }
  for (const char* no : {"false", "0", "No", "off"}) {
    bool b = true;
    EXPECT_TRUE(coil::stringTo(b, no) && !b) << no;
  }
  bool b = true;
  EXPECT_FALSE(coil::stringTo(b, "maybe"));
  EXPECT_TRUE(b);
  std::vector<double> v{9};
  EXPECT_TRUE(coil::stringTo(v, "1, 2.5 ,3"));
  EXPECT_FALSE(coil::stringTo(v, "1, x"));
  EXPECT_EQ(v, (std::vector<double>{1, 2.5, 3})) << "a list converts whole or not at all";
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
  standin_test::TempDir dir;
  dir.write("bad.conf", "a: 1\n\n# no key:\n  : orphan\n");
  dir.write("good.conf", "exec_cxt.periodic.rate: 50\na.b: file\nc: file\n");
  rtm_standin::ManagerConfig config =
      load({"-o", "a.b: option", "-oc:2", "-o", "url: h:1"}, dir.file("good.conf"));
  EXPECT_EQ(config.loadedFile, dir.file("good.conf")) << "./rtc.conf is read without -f";
  EXPECT_EQ(config.properties.getProperty("exec_cxt.periodic.rate"), "50");
  EXPECT_EQ(config.properties.getProperty("a.b"), "option");
  EXPECT_EQ(config.properties.getProperty("c"), "2");
  EXPECT_EQ(config.properties.getProperty("url"), "h:1") << "the first colon separates";
  EXPECT_EQ(load({}).properties.getProperty("exec_cxt.periodic.rate"), "1000");
  EXPECT_EQ(load({"-f", dir.file("good.conf")}, "").loadedFile, dir.file("good.conf"));
  EXPECT_THAT(load({"-o", "conf.default.COM_Port: COM3"}).warnings,
              ::testing::ElementsAre(HasSubstr("CATEGORY.TYPE.conf.default.COM_Port")));

  const std::vector<std::pair<std::vector<std::string>, std::string>> errors{
      {{"-f"}, "-f needs a file name"},
      {{"-o", "no colon"}, "\"key: value\""},
      {{"-o", ": value"}, "no key"},
      {{"-x"}, "unknown option -x"},
      {{"stray"}, "unexpected argument \"stray\""},
      {{"-f", dir.file("missing.conf")},
       "cannot read configuration file " + dir.file("missing.conf")},
      {{"-f", dir.file("bad.conf")}, "bad.conf:4: entry without a key"},
      {{"-o", "exec_cxt.periodic.rate: fast"}, "positive number of Hz, got \"fast\""},
      {{"-o", "exec_cxt.periodic.rate: 0"}, "positive"},
      {{"-o", "exec_cxt.periodic.rate: -5"}, "positive"}};
  for (const auto& [args, message] : errors) {
    SCOPED_TRACE(message);
    EXPECT_THAT(errorOf<ConfigError>([&] { load(args); }), HasSubstr(message));
  }
}

TEST(ComponentConfig, ProfileThenFilesThenManagerKeysThenArguments) {
  standin_test::TempDir dir;
  dir.write("widget.conf",
            "conf.default.a: file\nconf.default.b: file\nexec_cxt.periodic.rate: 25\n");
  dir.write("w1.conf", "conf.default.d: instance file\n");
  static const char* entries[] = {
      "type_name",      "Widget",         "category", "Parts",          "conf.default.a",
      "profile",        "conf.default.b", "profile",  "conf.default.c", "profile",
      "conf.default.d", "profile",        ""};
  coil::Properties profile(entries);
  coil::Properties manager;
  manager.setProperty("exec_cxt.periodic.rate", "1000");
  manager.setProperty("Parts.Widget.config_file", dir.file("widget.conf"));
  manager.setProperty("Parts.Widget.conf.default.b", "manager");
  manager.setProperty("Parts.Widget1.config_file", dir.file("w1.conf"));
  coil::Properties args;
  args.setProperty("conf.default.c", "argument");

  coil::Properties p = rtm_standin::componentProperties(manager, profile, "Widget0", args);
  EXPECT_EQ(p.getProperty("conf.default.a"), "file");
  EXPECT_EQ(p.getProperty("conf.default.b"), "manager");
  EXPECT_EQ(p.getProperty("conf.default.c"), "argument");
  EXPECT_EQ(p.getProperty("conf.default.d"), "profile") << "another instance's file";
  EXPECT_EQ(p.getProperty("instance_name"), "Widget0");
  EXPECT_DOUBLE_EQ(rtm_standin::componentRate(p, manager), 25) << "its own rate wins";
  coil::Properties w1 =
      rtm_standin::componentProperties(manager, profile, "Widget1", coil::Properties());
  EXPECT_EQ(w1.getProperty("conf.default.d"), "instance file");
  EXPECT_DOUBLE_EQ(rtm_standin::componentRate(coil::Properties(), manager), 1000);

  auto parsed = rtm_standin::parseComponentArgs("Widget?instance_name=Left&conf.default.a=x");
  EXPECT_EQ(parsed.first, "Widget");
  EXPECT_EQ(parsed.second.getProperty("instance_name"), "Left");
  EXPECT_EQ(parsed.second.getProperty("conf.default.a"), "x");
  EXPECT_THROW(rtm_standin::parseComponentArgs("Widget?novalue"), ConfigError);
  manager.setProperty("Parts.Widget.config_file", dir.file("absent.conf"));
  EXPECT_THROW(rtm_standin::componentProperties(manager, profile, "Widget0", args), ConfigError);
}

// Strings in CDR need the ORB's code sets.
CORBA::ORB_var g_orb = [] {
  int argc = 1;
  char name[] = "logic_test";
  char* argv[] = {name, nullptr};
  return CORBA::ORB_init(argc, argv);
}();

template <typename T>
std::shared_ptr<const rtm_standin::TypeSchema> schemaFor() {
  CORBA::Any any;
  any <<= T();
  CORBA::TypeCode_var tc = any.type();
  return rtm_standin::schemaOf(tc.in());
}

// JSON to a sample of T and back, through CDR as the host does.
template <typename T>
json roundTrip(const json& in, T* sample = nullptr) {
  cdrMemoryStream stream;
  rtm_standin::sampleFromJson(*schemaFor<T>(), in, stream);
  stream.rewindInputPtr();
  T value;
  value <<= stream;
  if (sample != nullptr) {
    *sample = value;
  }
  cdrMemoryStream again;
  value >>= again;
  again.rewindInputPtr();
  return rtm_standin::sampleToJson(*schemaFor<T>(), again);
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

TEST(SampleJson, MissingTimeStampIsTheCurrentTime) {
  StandinTest::TimedVelocityWithLists sample;
  const double before =
      std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  roundTrip(json::parse(R"({"data":{"vx":0.3}})"), &sample);
  const double stamp = sample.tm.sec + sample.tm.nsec * 1e-9;
  EXPECT_GE(stamp, std::floor(before));
  EXPECT_LT(stamp, before + 3600) << "within the hour";
  EXPECT_LT(sample.tm.nsec, 1000000000u);
  EXPECT_DOUBLE_EQ(sample.data.vx, 0.3);
}

TEST(SampleJson, MismatchesNameTheField) {
  const std::vector<std::pair<const char*, const char*>> cases{
      {R"({"nme":"x"})", "Everything has no field 'nme' (fields: tm, name,"},
      {R"({"tm":{"secs":1}})", "no field 'tm.secs'"},
      {R"({"byte":256})", "'byte' is out of range [0, 255]"},
      {R"({"s":40000})", "'s' is out of range"},
      {R"({"ul":-1})", "'ul' is out of range"},
      {R"({"ll":1.5})", "'ll' must be an integer"},
      {R"({"d":"fast"})", "'d' must be a number"},
      {R"({"flag":1})", "'flag' must be true or false"},
      {R"({"letter":"xy"})", "one-character string"},
      {R"({"mode":"ON"})", "one of IDLE, RUNNING, FAULT"},
      {R"({"code":"TOOLONG"})", "at most 4 characters"},
      {R"({"few":[1,2,3,4]})", "at most 3 elements"},
      {R"({"matrix":[[1,2,3]]})", "exactly 2 elements"},
      {R"({"points":[{"x":"a"}]})", "'points[0].x' must be a number"},
      {R"([1,2])", "the sample must be an object"}};
  for (const auto& [sample, message] : cases) {
    SCOPED_TRACE(sample);
    EXPECT_THAT(errorOf<rtm_standin::SampleError>(
                    [&] { roundTrip<StandinTest::Everything>(json::parse(sample)); }),
                HasSubstr(message));
  }
  std::string why;
  EXPECT_FALSE(rtm_standin::convertible(*schemaFor<StandinTest::WithUnion>(), why));
  EXPECT_THAT(why, HasSubstr("union"));
  EXPECT_TRUE(rtm_standin::convertible(*schemaFor<StandinTest::TimedVelocityWithLists>(), why));
}

TEST(InPort, FirstInFirstOutDroppingTheOldestWhenFull) {
  for (int bufsize : {3, 64}) {
    SCOPED_TRACE(bufsize);
    RTC::TimedDouble value;
    value.data = -1;
    auto port = bufsize == 64 ? std::make_unique<RTC::InPort<RTC::TimedDouble>>("in", value)
                              : std::make_unique<RTC::InPort<RTC::TimedDouble>>("in", value, 3);
    EXPECT_FALSE(port->isNew());
    EXPECT_FALSE(port->read());
    EXPECT_DOUBLE_EQ(value.data, -1) << "nothing read, nothing changed";
    for (int i = 1; i <= bufsize + 2; ++i) {
      RTC::TimedDouble sample;
      sample.tm.sec = sample.tm.nsec = 0;
      sample.data = i;
      cdrMemoryStream stream;
      sample >>= stream;
      stream.rewindInputPtr();
      rtm_standin::DataPortAccess::put(*port, stream);
    }
    std::vector<double> read;
    while (port->isNew() && port->read()) {
      read.push_back(value.data);
    }
    ASSERT_EQ(read.size(), static_cast<std::size_t>(bufsize));
    EXPECT_EQ(read.front(), 3);
    EXPECT_EQ(read.back(), bufsize + 2);
    EXPECT_TRUE(std::is_sorted(read.begin(), read.end()));
  }
}

}  // namespace
