// In this process: the port types the component's IDL declares, the time
// stamps, and the registration of the component type with the manager.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <unistd.h>

#include "TolvarineContorollerModule.h"
#include "time_stamp.h"

namespace {

// "name:kind" for each member of a struct type code, after its id.
std::string layout(CORBA::TypeCode_ptr tc) {
  std::string text = tc->id();
  for (CORBA::ULong i = 0; i < tc->member_count(); ++i) {
    CORBA::TypeCode_var member = tc->member_type(i);
    text += std::string(" ") + tc->member_name(i) + ":" + std::to_string(member->kind());
    if (member->kind() == CORBA::tk_sequence) {
      CORBA::TypeCode_var content = member->content_type();
      text += "[" + std::to_string(member->length()) + "]" + std::to_string(content->kind());
    }
  }
  return text;
}

RTC::RTObject_impl* g_created = nullptr;

}  // namespace

TEST(ComponentTypes, LayoutsAndTimeStamps) {
  // Kinds: 3 long, 5 unsigned long, 7 double, 15 struct, 19 sequence; "[0]"
  // is an unbounded sequence.
  const auto own = [](CORBA::TypeCode_ptr tc) { return CORBA::TypeCode::_duplicate(tc); };
  const std::vector<std::pair<CORBA::TypeCode_var, std::string>> layouts = {
      {own(ZEQ::_tc_TimedVelocity2D),
       "IDL:ZEQ/TimedVelocity2D:1.0 tm:15 id:19[0]3 data:15 error:19[0]7"},
      {own(ZEQ::_tc_TimedPose2D), "IDL:ZEQ/TimedPose2D:1.0 tm:15 id:19[0]3 data:15 error:19[0]7"},
      {own(ZEQ::_tc_TimedPoseVel2DSeq),
       "IDL:ZEQ/TimedPoseVel2DSeq:1.0 tm:15 id:19[0]3 data:19[0]15 error:19[0]7"},
      {own(ZEQ::_tc_TimedPose2DSeq),
       "IDL:ZEQ/TimedPose2DSeq:1.0 tm:15 id:19[0]3 data:19[0]15 error:19[0]7"},
      {ZEQ::_tc_TimedVelocity2D->member_type(0), "IDL:RTC/Time:1.0 sec:5 nsec:5"},
      {ZEQ::_tc_TimedVelocity2D->member_type(2), "IDL:RTC/Velocity2D:1.0 vx:7 vy:7 va:7"},
      {ZEQ::_tc_TimedPose2D->member_type(2), "IDL:RTC/Pose2D:1.0 position:15 heading:7"},
  };
  for (const auto& [tc, expected] : layouts) {
    EXPECT_EQ(layout(tc.in()), expected);
  }

  // A tick of 123456 ms is 123 s and 456 000 000 ns; the last one before the
  // 32-bit tick wraps is 4294967 s and 295 000 000 ns.
  for (const auto& [tick, sec, nsec] :
       std::vector<std::tuple<std::uint32_t, std::uint32_t, std::uint32_t>>{
           {123456u, 123u, 456000000u},
           {999u, 0u, 999000000u},
           {4294967295u, 4294967u, 295000000u}}) {
    RTC::Time tm;
    tolvarine_component::setTimeStamp(tm, tick);
    EXPECT_EQ(tm.sec, sec);
    EXPECT_EQ(tm.nsec, nsec);
  }
}

TEST(ComponentRegistration, ProfileInstanceAndExportedInit) {
  char dir[] = "/tmp/tolvarine-reg-XXXXXX";
  ASSERT_NE(::mkdtemp(dir), nullptr);
  const std::string socket = std::string("manager.standin.control_socket: ") + dir + "/m.sock";
  std::vector<std::string> args = {"registration_test", "-o", socket};
  std::vector<char*> argv;
  for (std::string& a : args) {
    argv.push_back(a.data());
  }
  RTC::Manager* manager = RTC::Manager::init(static_cast<int>(argv.size()), argv.data());
  manager->setModuleInitProc([](RTC::Manager* m) {
    TolvarineContorollerModuleInit(m);
    g_created = m->createComponent("TolvarineContorollerModule");
  });
  manager->activateManager();

  const std::vector<std::pair<std::string, std::string>> expected = {
      {"implementation_id", "TolvarineContorollerModule"},
      {"type_name", "TolvarineContorollerModule"},
      {"description", "ModuleDescription"},
      {"version", "1.0.0"},
      {"vendor", "VenderName"},
      {"category", "Category"},
      {"activity_type", "PERIODIC"},
      {"kind", "DataFlowComponent"},
      {"max_instance", "0"},
      {"language", "C++"},
      {"lang_type", "compile"},
      {"conf.default.COM_Port", "COM1"},
      {"conf.default.Foward_Direction", "FORWARD"},
      {"conf.default.Tolvarine_Tread_meter", "0.5488"},
      {"conf.default.Command_Timeout_sec", "0"},
      {"conf.__widget__.COM_Port", "text"},
      {"conf.__widget__.Foward_Direction", "text"},
      {"conf.__widget__.Tolvarine_Tread_meter", "text"},
      {"conf.__widget__.Command_Timeout_sec", "text"},
      {"conf.__constraints__.Foward_Direction", "FORWARD or BACK"},
      {"conf.__constraints__.Tolvarine_Tread_meter", "0<x<=2"},
      {"conf.__constraints__.Command_Timeout_sec", "0<=x<=86400"},
  };
  ASSERT_EQ(manager->getFactoryProfiles().size(), 1u);
  const coil::Properties profile = manager->getFactoryProfiles().front();
  std::vector<std::pair<std::string, std::string>> pairs;
  for (const std::string& key : profile.propertyNames()) {
    pairs.emplace_back(key, profile.getProperty(key));
  }
  EXPECT_EQ(pairs, expected);
  ASSERT_NE(g_created, nullptr);
  EXPECT_STREQ(g_created->getInstanceName(), "TolvarineContorollerModule0");
  EXPECT_EQ(g_created->getProperties().getProperty("conf.default.COM_Port"), "COM1");
  manager->shutdown();
  ::rmdir(dir);

  // The middleware finds the init function in the executable by its plain name.
  FILE* nm = ::popen("nm -D --defined-only " TOLVARINE_COMPONENT_EXE, "r");
  ASSERT_NE(nm, nullptr);
  std::string symbols;
  char line[512];
  while (std::fgets(line, sizeof line, nm) != nullptr) {
    symbols += line;
  }
  ::pclose(nm);
  EXPECT_NE(symbols.find(" T TolvarineContorollerModuleInit\n"), std::string::npos) << symbols;
}
