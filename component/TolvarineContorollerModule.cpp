// -*- C++ -*-
#include "TolvarineContorollerModule.h"

#include <algorithm>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include <tolvarine_controller/link_state.h>

#include "console_text.h"
#include "parameter_checks.h"
#include "time_stamp.h"

namespace {

// The component profile: key, value, ..., closed by an empty string.
// clang-format off
static const char* component_spec[] = {
    "implementation_id", "TolvarineContorollerModule",
    "type_name", "TolvarineContorollerModule",
    "description", "ModuleDescription",
    "version", "1.0.0",
    "vendor", "VenderName",
    "category", "Category",
    "activity_type", "PERIODIC",
    "kind", "DataFlowComponent",
    "max_instance", "0",
    "language", "C++",
    "lang_type", "compile",
    "conf.default.COM_Port", "COM1",
    "conf.default.Foward_Direction", "FORWARD",
    "conf.default.Tolvarine_Tread_meter", "0.5488",
    "conf.default.Command_Timeout_sec", "0",
    "conf.__widget__.COM_Port", "text",
    "conf.__widget__.Foward_Direction", "text",
    "conf.__widget__.Tolvarine_Tread_meter", "text",
    "conf.__widget__.Command_Timeout_sec", "text",
    "conf.__constraints__.Foward_Direction", "FORWARD or BACK",
    "conf.__constraints__.Tolvarine_Tread_meter", "0<x<=2",
    "conf.__constraints__.Command_Timeout_sec", "0<=x<=86400",
    ""};
// clang-format on

const double kMaxAcceleration = 0.7;  // m/s^2, each wheel
// Samples taken from "VelocityIn" in one cycle at most; the buffer holds
// fewer, so only a peer writing faster than they can be read reaches it.
const int kMaxSamplesPerCycle = 64;

}  // namespace

TolvarineContorollerModule::TolvarineContorollerModule(RTC::Manager* manager)
    : RTC::DataFlowComponentBase(manager),
      m_Tolvarine_Tread_meter(0.0),
      m_Command_Timeout_sec(0.0),
      m_VelocityInIn("VelocityIn", m_VelocityIn),
      m_VelocityOutOut("VelocityOut", m_VelocityOut),
      m_OdmetoryOutOut("OdmetoryOut", m_OdmetoryOut),
      m_direction(-1),
      m_tread(0.0),
      m_commandTimeout(0.0),
      m_boundCommandTimeout(0.0),
      m_controller(kMaxAcceleration),
      m_v_in(0.0),
      m_v_out(0.0),
      m_w_in(0.0),
      m_w_out(0.0),
      m_x(0.0),
      m_y(0.0),
      m_theta(0.0) {}

TolvarineContorollerModule::~TolvarineContorollerModule() {}

#if defined(TOLVARINE_RTM_EXIT_THROWS)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated"
#endif
RTC::ReturnCode_t TolvarineContorollerModule::exit() TOLVARINE_RTM_EXIT_SPEC {
  // From the shutdown's thread, while the execution context may be inside
  // onActivated: the handshake gives up having sent only stop commands.
  m_controller.abortInitialize();
  return RTC::DataFlowComponentBase::exit();
}
#if defined(TOLVARINE_RTM_EXIT_THROWS)
#pragma GCC diagnostic pop
#endif

RTC::ReturnCode_t TolvarineContorollerModule::onInitialize() {
  std::cerr << "onInitialize\n";

  addInPort("VelocityIn", m_VelocityInIn);
  addOutPort("VelocityOut", m_VelocityOutOut);
  addOutPort("OdmetoryOut", m_OdmetoryOutOut);

  bindParameter("COM_Port", m_COM_Port, "COM1");
  bindParameter("Foward_Direction", m_Foward_Direction, "FORWARD");
  bindParameter("Tolvarine_Tread_meter", m_Tolvarine_Tread_meter, "0.5488");
  bindParameter("Command_Timeout_sec", m_Command_Timeout_sec, "0");

  checkDirection();
  m_port = m_COM_Port;
  m_tread = m_Tolvarine_Tread_meter;
  printParameters("*********** Default Parameters *************\n", m_COM_Port,
                  "********************************************");
  return RTC::RTC_OK;
}

RTC::ReturnCode_t TolvarineContorollerModule::onActivated(RTC::UniqueId ec_id) {
  checkDirection();
  m_port = m_COM_Port;
  m_tread = m_Tolvarine_Tread_meter;
  printParameters("*********** Parameters *************\n", m_port,
                  "************************************");

  m_v_in = 0.0;
  m_w_in = 0.0;
  m_v_out = 0.0;
  m_w_out = 0.0;
  m_x = 0.0;
  m_y = 0.0;
  m_theta = 0.0;

  if (!checkSettings(ec_id)) {
    return RTC::RTC_ERROR;
  }
  // Commands written before this activation (while the chair was inactive
  // or in the error state) are stale: the chair moves again only for one
  // written from now on.
  int stale = 0;
  while (m_VelocityInIn.isNew() && stale < kMaxSamplesPerCycle) {
    m_VelocityInIn.read();
    ++stale;
  }
  m_controller.setCommandTimeout(m_commandTimeout);
  m_boundCommandTimeout = m_Command_Timeout_sec;

  std::cerr << "connecting... COM:" << m_port << std::endl;
  if (!m_controller.initialize(m_port, m_direction)) {
    return RTC::RTC_ERROR;
  }
  std::cerr << "\t  OK" << std::endl;
  m_controller.initRobotPose(m_x, m_y, m_theta);
  return RTC::RTC_OK;
}

RTC::ReturnCode_t TolvarineContorollerModule::onDeactivated(RTC::UniqueId /*ec_id*/) {
  stopAndRelease();
  return RTC::RTC_OK;
}

RTC::ReturnCode_t TolvarineContorollerModule::onAborting(RTC::UniqueId /*ec_id*/) {
  stopAndRelease();
  return RTC::RTC_OK;
}

void TolvarineContorollerModule::stopAndRelease() {
  m_controller.setSendDataVRL(0.0, 0.0);
  // Stops the control thread, then the link, whose thread sends a last stop
  // frame, and closes the port; the next activation connects anew.
  m_controller.finalize();
}

bool TolvarineContorollerModule::takeNewestCommand() {
  int taken = 0;
  while (taken < kMaxSamplesPerCycle && m_VelocityInIn.isNew()) {
    m_VelocityInIn.read();
    ++taken;
  }
  if (taken == 0) {
    return false;
  }
  m_v_in = m_VelocityIn.data.vx;
  m_w_in = m_VelocityIn.data.va;
  return true;
}

void TolvarineContorollerModule::followCommandTimeout() {
  // The middleware updates the bound variable after a cycle in which a tool
  // changed the setting; a text it cannot convert turns it into the default,
  // so the text decides, not the variable.
  if (m_Command_Timeout_sec == m_boundCommandTimeout) {
    return;
  }
  m_boundCommandTimeout = m_Command_Timeout_sec;
  const std::string text = settingText("Command_Timeout_sec", m_Command_Timeout_sec);
  double seconds = 0.0;
  const std::string why = tolvarine_component::checkCommandTimeout(text, seconds);
  if (!why.empty()) {
    std::cerr << "Your Setting Command_Timeout_sec Parameter[" << text << "] is Invalid: " << why
              << "; keeping " << m_commandTimeout << " s" << std::endl;
    return;
  }
  m_commandTimeout = seconds;
  m_controller.setCommandTimeout(seconds);
  std::cerr << "command time-out: " << seconds << " s"
            << (seconds > 0.0 ? " without a new command brings the chair to rest" : ", off")
            << std::endl;
}

bool TolvarineContorollerModule::linkWasLost() {
  // The loss count, not the link's state: a silence that has come and gone
  // between two looks counts all the same.
  return m_controller.getLinkLossCount() > 0;
}

RTC::ReturnCode_t TolvarineContorollerModule::abandonAfterLinkLoss() {
  m_v_in = 0.0;
  m_w_in = 0.0;
  m_controller.setSendDataVRL(0.0, 0.0);
  std::cerr << "the link to the chair was lost; nothing moves until the component is reset "
               "and activated again and a new command arrives"
            << std::endl;
  return RTC::RTC_ERROR;
}

RTC::ReturnCode_t TolvarineContorollerModule::onExecute(RTC::UniqueId /*ec_id*/) {
  if (linkWasLost()) {
    return abandonAfterLinkLoss();
  }
  followCommandTimeout();
  const bool fresh = takeNewestCommand();
  std::cerr << "w_in:" << m_w_in << "\tv_in" << m_v_in << std::endl;

  // Only a new sample is a command. The controller holds the last one, so
  // sending it again would change nothing but restart its time-out, and a
  // dead commander would never time out.
  if (fresh) {
    // The whole tread, not half of it, splits the command between the wheels.
    const double a = m_v_in + m_tread * m_w_in;
    const double b = m_v_in - m_tread * m_w_in;
    if (m_direction == -1) {
      m_controller.setSendDataVRL(a, b);
    } else {
      m_controller.setSendDataVRL(b, a);
    }
    // A loss declared while the command was on its way must not let it
    // through once the board answers again.
    if (linkWasLost()) {
      return abandonAfterLinkLoss();
    }
  }

  m_odometory = m_controller.renewOdometory(true);
  if (linkWasLost()) {
    // The board has stopped answering (the link said so on the console).
    return abandonAfterLinkLoss();
  }
  if (!(m_odometory.step.time > 0.0)) {
    // No fresh status frame in this cycle: nothing was measured, and a zero
    // velocity would claim a standstill nobody saw.
    return RTC::RTC_OK;
  }
  m_v_out = m_odometory.step.distance / m_odometory.step.time;
  m_w_out = m_odometory.step.theta / m_odometory.step.time;
  m_VelocityOut.data.vx = m_v_out;
  m_VelocityOut.data.vy = 0.0;
  m_VelocityOut.data.va = m_w_out;

  m_x = m_odometory.total.x;
  m_y = m_odometory.total.y;
  m_theta = m_odometory.total.theta;
  m_OdmetoryOut.data.position.x = m_x;
  m_OdmetoryOut.data.position.y = m_y;
  m_OdmetoryOut.data.heading = m_theta;

  std::cerr << "X:" << m_x << std::endl;
  std::cerr << "Y:" << m_y << std::endl;
  std::cerr << TOLVARINE_TEXT_THETA << m_theta << std::endl;

  const std::uint32_t tick = tolvarine_component::millisecondTick();
  tolvarine_component::setTimeStamp(m_OdmetoryOut.tm, tick);
  tolvarine_component::setTimeStamp(m_VelocityOut.tm, tick);

  m_OdmetoryOutOut.write();
  m_VelocityOutOut.write();
  return RTC::RTC_OK;
}

void TolvarineContorollerModule::checkDirection() {
  if (m_Foward_Direction == "FORWARD") {
    m_direction = -1;
  } else if (m_Foward_Direction == "BACK") {
    m_direction = 1;
  } else {
    std::cerr << "Your Setting Foward Direction Parameter[" << m_Foward_Direction
              << "] is Invalid.\n";
    m_Foward_Direction = "FORWARD";
    m_direction = -1;
    std::cerr << "\tSet parameter [" << m_Foward_Direction << "]\n";
  }
}

std::string TolvarineContorollerModule::settingText(const char* name, double bound) {
  const coil::Properties& set = m_configsets.getActiveConfigurationSet();
  const std::vector<std::string> names = set.propertyNames();
  if (std::find(names.begin(), names.end(), name) != names.end()) {
    return set.getProperty(name);
  }
  std::ostringstream text;
  text.precision(17);
  text << bound;
  return text.str();
}

bool TolvarineContorollerModule::checkSettings(RTC::UniqueId ec_id) {
  const std::string treadText = settingText("Tolvarine_Tread_meter", m_Tolvarine_Tread_meter);
  std::string why = tolvarine_component::checkTread(treadText, m_tread);
  if (!why.empty()) {
    std::cerr << "Your Setting Tolvarine_Tread_meter Parameter[" << treadText
              << "] is Invalid: " << why << "; not connecting" << std::endl;
    return false;
  }
  const std::string timeoutText = settingText("Command_Timeout_sec", m_Command_Timeout_sec);
  why = tolvarine_component::checkCommandTimeout(timeoutText, m_commandTimeout);
  if (!why.empty()) {
    std::cerr << "Your Setting Command_Timeout_sec Parameter[" << timeoutText
              << "] is Invalid: " << why << "; not connecting" << std::endl;
    return false;
  }
  why = tolvarine_component::checkExecutionRate(getExecutionRate(ec_id));
  if (!why.empty()) {
    std::cerr << "Your execution context is too slow: " << why << "; not connecting" << std::endl;
    return false;
  }
  if (m_commandTimeout > 0.0) {
    std::cerr << "command time-out: " << m_commandTimeout
              << " s without a new command brings the chair to rest" << std::endl;
  }
  return true;
}

void TolvarineContorollerModule::printParameters(const char* header, const std::string& port,
                                                 const char* footer) {
  std::cerr << header << "*\n"
            << TOLVARINE_TEXT_CONNECTION_COM << port << "\n"
            << "* Foward Direction is " << m_Foward_Direction << "\n"
            << "* Tread:" << m_tread << "[m]\n"
            << "*\n"
            << footer << std::endl;
}

RTC::RTObject_impl* TolvarineContorollerModuleCreate(RTC::Manager* manager) {
  return new TolvarineContorollerModule(manager);
}

void TolvarineContorollerModuleDelete(RTC::RTObject_impl* rtc) {
  if (rtc != NULL) {
    delete rtc;
  }
}

extern "C" {

void TolvarineContorollerModuleInit(RTC::Manager* manager) {
  coil::Properties profile(component_spec);
  manager->registerFactory(profile, TolvarineContorollerModuleCreate,
                           TolvarineContorollerModuleDelete);
}

}  // extern "C"
