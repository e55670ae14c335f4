// The manager's command line, configuration file and -o precedence, and the
// configuration a component gets from its profile and files.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <sys/stat.h>

#include "manager_config.h"
#include "test_support.h"

namespace {

using rtm_standin::CommandLine;
using rtm_standin::ConfigError;
using rtm_standin::loadManagerConfig;
using rtm_standin::parseCommandLine;
using standin_test::TempDir;
using ::testing::HasSubstr;

std::vector<std::string> args(std::initializer_list<const char*> list) {
  std::vector<std::string> out{"host"};
  out.insert(out.end(), list.begin(), list.end());
  return out;
}

std::string errorOf(const std::vector<std::string>& argv) {
  try {
    parseCommandLine(argv);
  } catch (const ConfigError& e) {
    return e.what();
  }
  return "";
}

TEST(CommandLine, FileAndRepeatedOverrides) {
  CommandLine line =
      parseCommandLine(args({"-f", "my.conf", "-o", "a.b: 1", "-oc:2", "-o", "a.b:  3  "}));
  EXPECT_EQ(line.configFile, "my.conf");
  ASSERT_EQ(line.overrides.size(), 3u);
  EXPECT_EQ(line.overrides[0], (std::pair<std::string, std::string>{"a.b", "1"}));
  EXPECT_EQ(line.overrides[1], (std::pair<std::string, std::string>{"c", "2"}));
  EXPECT_EQ(line.overrides[2], (std::pair<std::string, std::string>{"a.b", "3"}));
  EXPECT_EQ(parseCommandLine(args({"-fother.conf"})).configFile, "other.conf");
  EXPECT_EQ(parseCommandLine(args({"-o", "url: host:2809"})).overrides[0].second, "host:2809")
      << "the first colon separates key and value";
  EXPECT_TRUE(parseCommandLine(args({"--help"})).help);
  EXPECT_TRUE(parseCommandLine(args({"-h"})).help);
}

TEST(CommandLine, OpenRtmOptionsAreReportedWithoutEffect) {
  CommandLine line = parseCommandLine(args({"-a", "-d", "-p", "2810", "-l", "Mod"}));
  ASSERT_EQ(line.notices.size(), 4u);
  EXPECT_THAT(line.notices[0], HasSubstr("-a has no effect"));
  EXPECT_THAT(line.notices[1], HasSubstr("-d has no effect"));
  EXPECT_THAT(line.notices[2], HasSubstr("-p 2810 has no effect"));
  EXPECT_THAT(line.notices[3], HasSubstr("-l Mod has no effect"));
  EXPECT_TRUE(line.overrides.empty());
}

TEST(CommandLine, MalformedOptionsAreClearErrors) {
  EXPECT_THAT(errorOf(args({"-f"})), HasSubstr("-f needs a file name"));
  EXPECT_THAT(errorOf(args({"-o"})), HasSubstr("-o needs"));
  EXPECT_THAT(errorOf(args({"-o", "no colon"})), HasSubstr("\"key: value\""));
  EXPECT_THAT(errorOf(args({"-o", ": value"})), HasSubstr("no key"));
  EXPECT_THAT(errorOf(args({"-p"})), HasSubstr("-p needs a port number"));
  EXPECT_THAT(errorOf(args({"-x"})), HasSubstr("unknown option -x"));
  EXPECT_THAT(errorOf(args({"stray"})), HasSubstr("unexpected argument \"stray\""));
}

TEST(ManagerConfig, FileThenOverridesOnTopOfDefaults) {
  TempDir dir;
  dir.write("rtc.conf",
            "# manager configuration\n"
            "exec_cxt.periodic.rate: 50\n"
            "a.b: from file\n"
            "long.value: one, \\\n"
            "            two\n");
  CommandLine line =
      parseCommandLine(args({"-f", dir.file("rtc.conf").c_str(), "-o", "a.b: from -o"}));
  rtm_standin::ManagerConfig config = loadManagerConfig(line);
  EXPECT_EQ(config.loadedFile, dir.file("rtc.conf"));
  EXPECT_EQ(config.properties.getProperty("exec_cxt.periodic.rate"), "50");
  EXPECT_EQ(config.properties.getProperty("a.b"), "from -o");
  EXPECT_EQ(config.properties.getProperty("long.value"), "one, two");
  EXPECT_EQ(config.properties.getProperty("manager.instance_name"), "manager");

  rtm_standin::ManagerConfig plain =
      loadManagerConfig(parseCommandLine(args({})), dir.file("absent.conf"));
  EXPECT_EQ(plain.properties.getProperty("exec_cxt.periodic.rate"), "1000");
  EXPECT_TRUE(plain.loadedFile.empty());
}

TEST(ManagerConfig, DefaultFileIsReadWhenPresent) {
  TempDir dir;
  dir.write("rtc.conf", "exec_cxt.periodic.rate: 20\n");
  rtm_standin::ManagerConfig config =
      loadManagerConfig(parseCommandLine(args({"-o", "x: 1"})), dir.file("rtc.conf"));
  EXPECT_EQ(config.loadedFile, dir.file("rtc.conf"));
  EXPECT_EQ(config.properties.getProperty("exec_cxt.periodic.rate"), "20");
  EXPECT_EQ(config.properties.getProperty("x"), "1");
}

TEST(ManagerConfig, BadFilesAndRatesAreClearErrors) {
  TempDir dir;
  auto errorLoading = [&](const std::vector<std::string>& argv) -> std::string {
    try {
      loadManagerConfig(parseCommandLine(argv), dir.file("none.conf"));
    } catch (const ConfigError& e) {
      return e.what();
    }
    return "";
  };
  EXPECT_THAT(errorLoading(args({"-f", dir.file("missing.conf").c_str()})),
              HasSubstr("cannot read configuration file " + dir.file("missing.conf")));
  dir.write("nokey.conf", "a: 1\n\n  : orphan value\n");
  EXPECT_THAT(errorLoading(args({"-f", dir.file("nokey.conf").c_str()})),
              HasSubstr("nokey.conf:3: entry without a key"));
  if (::geteuid() != 0) {  // root reads anything
    dir.write("locked.conf", "a: 1\n");
    ::chmod(dir.file("locked.conf").c_str(), 0);
    EXPECT_THAT(errorLoading(args({"-f", dir.file("locked.conf").c_str()})),
                HasSubstr("cannot read"));
  }
  EXPECT_THAT(errorLoading(args({"-o", "exec_cxt.periodic.rate: fast"})),
              HasSubstr("positive number of Hz, got \"fast\""));
  EXPECT_THAT(errorLoading(args({"-o", "exec_cxt.periodic.rate: 0"})), HasSubstr("positive"));
  EXPECT_THAT(errorLoading(args({"-o", "exec_cxt.periodic.rate: -5"})), HasSubstr("positive"));
  EXPECT_THAT(errorLoading(args({"-o", "exec_cxt.periodic.rate: 10 Hz"})), HasSubstr("positive"));
}

TEST(ManagerConfig, ParameterKeysWithoutComponentAreWarnedAbout) {
  rtm_standin::ManagerConfig config = loadManagerConfig(
      parseCommandLine(args({"-o", "conf.default.COM_Port: COM3"})), "/nonexistent");
  ASSERT_EQ(config.warnings.size(), 1u);
  EXPECT_THAT(config.warnings[0], HasSubstr("CATEGORY.TYPE.conf.default.COM_Port"));
}

class ComponentConfig : public ::testing::Test {
 protected:
  ComponentConfig() {
    profile.setDefaults(spec);
    manager.setProperty("exec_cxt.periodic.rate", "1000");
  }

  coil::Properties build(const std::string& instance = "Widget0",
                         const coil::Properties& extra = coil::Properties()) {
    return rtm_standin::componentProperties(manager, profile, instance, extra);
  }

  static const char* spec[];
  TempDir dir;
  coil::Properties profile;
  coil::Properties manager;
};

const char* ComponentConfig::spec[] = {"implementation_id",
                                       "Widget",
                                       "type_name",
                                       "Widget",
                                       "category",
                                       "Parts",
                                       "conf.default.port",
                                       "COM1",
                                       "conf.default.tread",
                                       "0.5488",
                                       "conf.default.mode",
                                       "FORWARD",
                                       ""};

TEST_F(ComponentConfig, ProfileDefaultsFormTheSet) {
  coil::Properties p = build();
  EXPECT_EQ(p.getProperty("conf.default.port"), "COM1");
  EXPECT_EQ(p.getProperty("instance_name"), "Widget0");
  EXPECT_EQ(p.getNode("conf.default").propertyNames(),
            (std::vector<std::string>{"port", "tread", "mode"}));
  EXPECT_DOUBLE_EQ(rtm_standin::componentRate(p, manager), 1000);
}

TEST_F(ComponentConfig, ComponentFileThenManagerKeysThenArguments) {
  dir.write("widget.conf",
            "conf.default.port: /dev/ttyS1\n"
            "conf.default.tread: 0.6\n"
            "exec_cxt.periodic.rate: 25\n");
  manager.setProperty("Parts.Widget.config_file", dir.file("widget.conf"));
  manager.setProperty("Parts.Widget.conf.default.tread", "0.7");  // from rtc.conf or -o
  coil::Properties p = build();
  EXPECT_EQ(p.getProperty("conf.default.port"), "/dev/ttyS1") << "the file beats the profile";
  EXPECT_EQ(p.getProperty("conf.default.tread"), "0.7") << "-o beats the file";
  EXPECT_EQ(p.getProperty("conf.default.mode"), "FORWARD") << "the rest stays";
  EXPECT_EQ(p.findNode("config_file"), nullptr);
  EXPECT_DOUBLE_EQ(rtm_standin::componentRate(p, manager), 25)
      << "its own rate beats the manager's";

  coil::Properties extra;
  extra.setProperty("conf.default.mode", "BACK");
  EXPECT_EQ(build("Widget0", extra).getProperty("conf.default.mode"), "BACK");
}

TEST_F(ComponentConfig, InstanceKeysApplyToThatInstanceOnly) {
  dir.write("w1.conf", "conf.default.port: COM7\n");
  manager.setProperty("Parts.Widget1.config_file", dir.file("w1.conf"));
  manager.setProperty("Parts.Widget1.conf.default.mode", "BACK");
  EXPECT_EQ(build("Widget0").getProperty("conf.default.port"), "COM1");
  EXPECT_EQ(build("Widget1").getProperty("conf.default.port"), "COM7");
  EXPECT_EQ(build("Widget1").getProperty("conf.default.mode"), "BACK");
}

TEST_F(ComponentConfig, UnreadableComponentFileAndBadRateAreErrors) {
  manager.setProperty("Parts.Widget.config_file", dir.file("absent.conf"));
  EXPECT_THROW(build(), ConfigError);
  manager.setProperty("Parts.Widget.config_file", "");
  dir.write("bad.conf", "exec_cxt.periodic.rate: often\n");
  manager.setProperty("Parts.Widget.config_file", dir.file("bad.conf"));
  coil::Properties p = build();
  try {
    rtm_standin::componentRate(p, manager);
    FAIL() << "no error for an invalid rate";
  } catch (const ConfigError& e) {
    EXPECT_THAT(e.what(), HasSubstr("exec_cxt.periodic.rate of Widget0"));
  }
}

TEST(ComponentArgs, TypeAndParameters) {
  auto parsed = rtm_standin::parseComponentArgs("Widget?instance_name=Left&conf.default.mode=BACK");
  EXPECT_EQ(parsed.first, "Widget");
  EXPECT_EQ(parsed.second.getProperty("instance_name"), "Left");
  EXPECT_EQ(parsed.second.getProperty("conf.default.mode"), "BACK");
  EXPECT_EQ(rtm_standin::parseComponentArgs("Widget").second.size(), 0);
  EXPECT_THROW(rtm_standin::parseComponentArgs("Widget?novalue"), ConfigError);
  EXPECT_THROW(rtm_standin::parseComponentArgs("Widget?=x"), ConfigError);
}

}  // namespace
