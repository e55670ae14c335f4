// Activation of the component against the simulated board: the parameter
// banner, the direction check, and a port that cannot be opened.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "component_rig.h"
#include "wheel_commands.h"

using namespace component_test;

namespace {

std::string activationBanner(const std::string& port) {
  return std::string("*********** Parameters *************\n") + "*\n" + kConnectionComLabel +
         port +
         "\n"
         "* Foward Direction is FORWARD\n"
         "* Tread:0.5488[m]\n"
         "*\n"
         "************************************\n"
         "connecting... COM:" +
         port + "\n";
}

std::string invalidDirection(const std::string& value) {
  return "Your Setting Foward Direction Parameter[" + value +
         "] is Invalid.\n"
         "\tSet parameter [FORWARD]\n";
}

int countOf(const std::string& text, const std::string& what) {
  int n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
    ++n;
  }
  return n;
}

// The console of one successful activation, `since` a byte offset: the
// expected opening, then "\t  OK" once, before the first cycle's trace.
void expectConnectedConsole(const ComponentProcess& process, std::size_t since,
                            const std::string& opening) {
  ASSERT_TRUE(process.waitForErr("\t  OK\n", 10s, since)) << process.err().substr(since);
  const std::string console = withoutHostLines(process.err().substr(since));
  EXPECT_EQ(console.substr(0, opening.size()), opening) << console;
  const std::size_t ok = console.find("\n\t  OK\n");
  ASSERT_NE(ok, std::string::npos) << console;
  EXPECT_GE(ok + 1, opening.size()) << console;
  EXPECT_LT(ok, console.find("w_in:")) << console;
  EXPECT_EQ(countOf(console, "\t  OK\n"), 1) << console;
}

}  // namespace

TEST(ComponentActivation, DirectionOtherThanForwardOrBackMeansForward) {
  ComponentRig rig;
  rig.start(
      {"conf.default.COM_Port: " + rig.devicePath(), "conf.default.Foward_Direction: Forward"});

  // Differs from "FORWARD" in letter case only.
  std::size_t since = rig.process().err().size();
  json reply = rig.activate();
  ASSERT_EQ(reply.value("result", ""), "RTC_OK") << reply.dump() << rig.process().err();
  EXPECT_EQ(reply["state"], "ACTIVE");
  expectConnectedConsole(rig.process(), since,
                         invalidDirection("Forward") + activationBanner(rig.devicePath()));
  // Only the bound variable fell back; the configuration keeps its value.
  EXPECT_EQ(rig.request({{"cmd", "get"}, {"key", "Foward_Direction"}})["value"], "Forward");
  // The controller got -1: the forward mounting's wheel bytes.
  rig.command(0.5, 0.0, 0.2);
  EXPECT_TRUE(rig.settlesOn(kForwardSplit));

  reply = rig.deactivate();
  EXPECT_EQ(reply.value("state", ""), "INACTIVE") << reply.dump();
  EXPECT_TRUE(rig.boardReleased());

  // An empty value.
  reply = rig.set("Foward_Direction", "");
  ASSERT_TRUE(reply.value("ok", false)) << reply.dump();
  since = rig.process().err().size();
  reply = rig.activate();
  ASSERT_EQ(reply.value("result", ""), "RTC_OK") << reply.dump() << rig.process().err();
  expectConnectedConsole(rig.process(), since,
                         invalidDirection("") + activationBanner(rig.devicePath()));
  rig.command(0.5, 0.0, 0.2);
  EXPECT_TRUE(rig.settlesOn(kForwardSplit));

  reply = rig.request({{"cmd", "shutdown"}});
  EXPECT_TRUE(reply.value("ok", false));
  EXPECT_EQ(rig.process().wait(kExitTimeout), 0);
  EXPECT_TRUE(rig.boardReleased());
  EXPECT_TRUE(rig.lastFrameIsStop());
}

TEST(ComponentActivation, PortThatCannotBeOpenedFailsUntilCorrected) {
  ComponentRig rig;
  const std::string missing = rig.dir().file("no-such-tty");
  // A file that opens but is no terminal: the link must give it back.
  const std::string plainFile = rig.dir().file("not-a-tty");
  rig.dir().write("not-a-tty", "");
  rig.start({"conf.default.COM_Port: " + missing});
  const std::vector<std::string> filesBefore = rig.process().openFiles();

  std::size_t since = rig.process().err().size();
  json reply = rig.activate();
  EXPECT_EQ(reply.value("ok", true), false) << reply.dump();
  EXPECT_EQ(reply.value("result", ""), "RTC_ERROR") << reply.dump();
  EXPECT_EQ(reply.value("state", ""), "ERROR") << reply.dump();
  std::string console = withoutHostLines(rig.process().err().substr(since));
  EXPECT_EQ(console.substr(0, activationBanner(missing).size()), activationBanner(missing))
      << console;
  EXPECT_EQ(console.find("\t  OK"), std::string::npos) << console;
  EXPECT_EQ(rig.process().openFiles(), filesBefore);
  EXPECT_FALSE(rig.board().clientConnected());

  reply = rig.set("COM_Port", plainFile);
  ASSERT_TRUE(reply.value("ok", false)) << reply.dump();
  reply = rig.reset();
  ASSERT_EQ(reply.value("state", ""), "INACTIVE") << reply.dump();
  since = rig.process().err().size();
  reply = rig.activate();
  EXPECT_EQ(reply.value("result", ""), "RTC_ERROR") << reply.dump();
  EXPECT_EQ(reply.value("state", ""), "ERROR") << reply.dump();
  console = withoutHostLines(rig.process().err().substr(since));
  EXPECT_EQ(console.substr(0, activationBanner(plainFile).size()), activationBanner(plainFile))
      << console;
  EXPECT_EQ(console.find("\t  OK"), std::string::npos) << console;
  EXPECT_EQ(rig.process().openFiles(), filesBefore);

  // Corrected while in the error state, then reset and activated again.
  reply = rig.set("COM_Port", rig.devicePath());
  ASSERT_TRUE(reply.value("ok", false)) << reply.dump();
  reply = rig.reset();
  ASSERT_EQ(reply.value("state", ""), "INACTIVE") << reply.dump();
  since = rig.process().err().size();
  reply = rig.activate();
  ASSERT_EQ(reply.value("result", ""), "RTC_OK") << reply.dump() << rig.process().err();
  EXPECT_EQ(reply["state"], "ACTIVE");
  expectConnectedConsole(rig.process(), since, activationBanner(rig.devicePath()));
  EXPECT_TRUE(rig.board().clientConnected());

  reply = rig.deactivate();
  EXPECT_EQ(reply.value("state", ""), "INACTIVE") << reply.dump();
  EXPECT_TRUE(rig.boardReleased());
  EXPECT_TRUE(rig.lastFrameIsStop());
  EXPECT_EQ(rig.process().openFiles(), filesBefore) << "the link left something open";
}
