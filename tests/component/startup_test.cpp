// Start-up of the component executable: what it prints, what it registers
// with the host, and the abort when the component cannot be created.
#include <gtest/gtest.h>

#include <csignal>
#include <string>

#include <sys/resource.h>
#include <sys/stat.h>

#include "component_harness.h"
#include "component_rig.h"

using namespace component_test;

namespace {

bool fileExists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

}  // namespace

TEST(ComponentStartup, DefaultsBannerPortsAndConfiguration) {
  TempDir dir;
  // No arguments and no rtc.conf: the middleware's defaults throughout.
  ComponentProcess process(dir.path(), {});
  const std::string socket = dir.file(std::string(kInstance) + ".sock");
  ASSERT_TRUE(waitForSocket(socket, kStartTimeout)) << process.err();
  ControlClient client(socket);

  const json list = client.request({{"cmd", "list"}});
  ASSERT_TRUE(list.value("ok", false)) << list.dump();
  ASSERT_EQ(list["components"].size(), 1u) << list.dump();
  const json& component = list["components"][0];
  EXPECT_EQ(component["instance"], kInstance);
  EXPECT_EQ(component["type"], "TolvarineContorollerModule");
  EXPECT_EQ(component["category"], "Category");
  EXPECT_EQ(component["state"], "INACTIVE");
  const json expectedPorts = json::parse(R"([
    {"name":"VelocityIn","direction":"in","type":"TimedVelocity2D","id":"IDL:ZEQ/TimedVelocity2D:1.0"},
    {"name":"VelocityOut","direction":"out","type":"TimedVelocity2D","id":"IDL:ZEQ/TimedVelocity2D:1.0"},
    {"name":"OdmetoryOut","direction":"out","type":"TimedPose2D","id":"IDL:ZEQ/TimedPose2D:1.0"}
  ])");
  EXPECT_EQ(component["ports"], expectedPorts);

  const json config = client.request({{"cmd", "get"}});
  ASSERT_TRUE(config.value("ok", false)) << config.dump();
  EXPECT_EQ(config["config"], json::parse(R"({"COM_Port":"COM1","Foward_Direction":"FORWARD",
                                               "Tolvarine_Tread_meter":"0.5488"})"));

  const std::string banner = std::string("onInitialize\n") +
                             "*********** Default Parameters *************\n"
                             "*\n" +
                             kConnectionComLabel +
                             "COM1\n"
                             "* Foward Direction is FORWARD\n"
                             "* Tread:0.5488[m]\n"
                             "*\n"
                             "********************************************\n";
  EXPECT_EQ(withoutHostLines(process.err()), banner);

  const json reply = client.request({{"cmd", "shutdown"}});
  EXPECT_TRUE(reply.value("ok", false)) << reply.dump();
  const auto status = process.wait(kExitTimeout);
  ASSERT_TRUE(status.has_value()) << "the component did not end after a shutdown request";
  EXPECT_EQ(*status, 0);
  EXPECT_FALSE(fileExists(socket));
  // An inactive component has nothing to say on its way out.
  EXPECT_EQ(withoutHostLines(process.err()), banner);
}

TEST(ComponentStartup, FailedCreationPrintsOneLineAndAborts) {
  // Nothing to gain from core files of the expected aborts.
  const rlimit noCore{0, 0};
  setrlimit(RLIMIT_CORE, &noCore);

  // Two ways the host refuses to create the component: its configuration
  // file cannot be read, or its own execution rate is not a rate.
  const char* const kBrokenKeys[] = {
      "Category.TolvarineContorollerModule.config_file: missing-component.conf",
      "Category.TolvarineContorollerModule.exec_cxt.periodic.rate: 0",
  };
  for (const char* key : kBrokenKeys) {
    SCOPED_TRACE(key);
    TempDir dir;
    ComponentProcess process(dir.path(), {"-o", key});
    const auto status = process.wait(kExitTimeout);
    ASSERT_TRUE(status.has_value()) << "still running; console:\n" << process.err();
    EXPECT_EQ(*status, 128 + SIGABRT) << process.err();
    EXPECT_EQ(withoutHostLines(process.err()), "Component create failed.\n");
    EXPECT_NE(process.err().find("cannot create"), std::string::npos)
        << "the host did not report why:\n"
        << process.err();
    // It ended before the host opened its control socket.
    EXPECT_FALSE(fileExists(dir.file(std::string(kInstance) + ".sock")));
    EXPECT_FALSE(fileExists(dir.file("manager.sock")));
  }
}
