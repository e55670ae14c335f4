// -*- C++ -*-
// The wheelchair as an RT component: velocity commands in, measured velocity
// and odometric pose out. Built as C++14 against OpenRTM-aist 1.x or the
// in-tree stand-in, from the same source.
#ifndef TOLVARINECONTOROLLERMODULE_H
#define TOLVARINECONTOROLLERMODULE_H

// The data-type headers come before the port headers, or the port templates
// do not see the CORBA::Any operators of the types.
#include <rtm/idl/BasicDataTypeSkel.h>
#include <rtm/idl/ExtendedDataTypesSkel.h>
#include "ZEQ2.hh"

#include <rtm/CorbaPort.h>
#include <rtm/DataFlowComponentBase.h>
#include <rtm/DataInPort.h>
#include <rtm/DataOutPort.h>
#include <rtm/Manager.h>

#include <string>

#include <tolvarine_controller/auto_controller.h>
#include <tolvarine_controller/odometory.h>

// The controller as the component holds it: for its whole life, brought
// back to the unconnected state at each deactivation.
class TolvarineComponentController : public tolvarine_controller::AutoController {
 public:
  explicit TolvarineComponentController(const double& maxAcc) : AutoController(maxAcc) {}
  using AutoController::finalize;
};

// OpenRTM-aist 1.x declares exit() with a dynamic exception specification,
// which an override must repeat; 2.0 and the stand-in declare it without.
#if defined(TOLVARINE_RTM_EXIT_THROWS)
#define TOLVARINE_RTM_EXIT_SPEC throw(CORBA::SystemException)
#else
#define TOLVARINE_RTM_EXIT_SPEC
#endif

class TolvarineContorollerModule : public RTC::DataFlowComponentBase {
 public:
  explicit TolvarineContorollerModule(RTC::Manager* manager);
  virtual ~TolvarineContorollerModule();

  // The middleware's shutdown (a signal, a tool) ends an activation that is
  // still waiting for the board at once, instead of after the handshake's
  // ten seconds; then it deactivates and finalizes as usual.
#if defined(TOLVARINE_RTM_EXIT_THROWS)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated"
#endif
  virtual RTC::ReturnCode_t exit() TOLVARINE_RTM_EXIT_SPEC;
#if defined(TOLVARINE_RTM_EXIT_THROWS)
#pragma GCC diagnostic pop
#endif

  virtual RTC::ReturnCode_t onInitialize();
  virtual RTC::ReturnCode_t onActivated(RTC::UniqueId ec_id);
  virtual RTC::ReturnCode_t onDeactivated(RTC::UniqueId ec_id);
  virtual RTC::ReturnCode_t onExecute(RTC::UniqueId ec_id);
  // Entering the error state (a lost link, a failed activation) stops the
  // chair and releases the link as a deactivation does, so that reset and
  // activate connect afresh.
  virtual RTC::ReturnCode_t onAborting(RTC::UniqueId ec_id);

 protected:
  // Configuration parameters.
  std::string m_COM_Port;
  std::string m_Foward_Direction;
  double m_Tolvarine_Tread_meter;  // m
  double m_Command_Timeout_sec;    // s, 0 = off

  // Ports and their buffers.
  ZEQ::TimedVelocity2D m_VelocityIn;
  RTC::InPort<ZEQ::TimedVelocity2D> m_VelocityInIn;
  ZEQ::TimedVelocity2D m_VelocityOut;
  RTC::OutPort<ZEQ::TimedVelocity2D> m_VelocityOutOut;
  ZEQ::TimedPose2D m_OdmetoryOut;
  RTC::OutPort<ZEQ::TimedPose2D> m_OdmetoryOutOut;

 private:
  void checkDirection();
  // The tread, the command time-out and the execution context's rate, read
  // from what was configured; false, with a console line, for a setting the
  // chair must not be driven with.
  bool checkSettings(RTC::UniqueId ec_id);
  // The text the active configuration set holds for `name`, or the bound
  // variable's value when the set does not list it.
  std::string settingText(const char* name, double bound);
  void printParameters(const char* header, const std::string& port, const char* footer);
  // Takes every sample waiting in "VelocityIn" and keeps the newest, so that
  // a stop is never queued behind older commands. False when none waits.
  bool takeNewestCommand();
  // A command time-out changed by a tool while the component is active
  // takes effect at once; one that makes no sense is refused on the console
  // and the current one stays.
  void followCommandTimeout();
  bool linkWasLost();
  // Any loss of the link, however brief and even if the board answers again
  // by now, ends the activation: the command is dropped and the error state
  // stops the chair and releases the link.
  RTC::ReturnCode_t abandonAfterLinkLoss();
  // Both wheel targets to 0, then the control thread and the link are shut
  // down; the controller is unconnected again.
  void stopAndRelease();

  std::string m_port;            // serial port handed to the controller
  int m_direction;               // -1 "FORWARD", 1 "BACK"
  double m_tread;                // m
  double m_commandTimeout;       // s, 0 = off; what the controller uses
  double m_boundCommandTimeout;  // s, m_Command_Timeout_sec when last looked at
  TolvarineComponentController m_controller;
  tolvarine_controller::Odometory m_odometory;
  double m_v_in;   // m/s, commanded
  double m_v_out;  // m/s, measured
  double m_w_in;   // rad/s, commanded
  double m_w_out;  // rad/s, measured
  double m_x;      // m
  double m_y;      // m
  double m_theta;  // rad
};

#if defined(_WIN32)
#define TOLVARINE_COMPONENT_EXPORT __declspec(dllexport)
#else
#define TOLVARINE_COMPONENT_EXPORT __attribute__((visibility("default")))
#endif

RTC::RTObject_impl* TolvarineContorollerModuleCreate(RTC::Manager* manager);
void TolvarineContorollerModuleDelete(RTC::RTObject_impl* rtc);

extern "C" {
TOLVARINE_COMPONENT_EXPORT void TolvarineContorollerModuleInit(RTC::Manager* manager);
}

#endif  // TOLVARINECONTOROLLERMODULE_H
