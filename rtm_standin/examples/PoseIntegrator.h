// PoseIntegrator: integrates planar velocity commands into a pose, like a
// simulated differential-drive robot. Written only against the OpenRTM-aist
// 1.x API, so it builds against OpenRTM-aist or the stand-in host alike.
//
//   in  "VelocityIn"  RTC::TimedVelocity2D  commanded vx (m/s) and va (rad/s)
//   out "PoseOut"     RTC::TimedPose2D      the integrated pose, every cycle
//   parameters        "speed_limit" (m/s, default 1.0),
//                     "turn_limit" (rad/s, default 1.0)
#ifndef POSEINTEGRATOR_H
#define POSEINTEGRATOR_H

#include <rtm/idl/BasicDataTypeSkel.h>
#include <rtm/idl/ExtendedDataTypesSkel.h>

#include <rtm/CorbaPort.h>
#include <rtm/DataFlowComponentBase.h>
#include <rtm/DataInPort.h>
#include <rtm/DataOutPort.h>
#include <rtm/Manager.h>

#include <chrono>

class PoseIntegrator : public RTC::DataFlowComponentBase {
 public:
  explicit PoseIntegrator(RTC::Manager* manager);
  ~PoseIntegrator();

  virtual RTC::ReturnCode_t onInitialize();
  virtual RTC::ReturnCode_t onActivated(RTC::UniqueId ec_id);
  virtual RTC::ReturnCode_t onDeactivated(RTC::UniqueId ec_id);
  virtual RTC::ReturnCode_t onExecute(RTC::UniqueId ec_id);

 protected:
  double m_speed_limit;
  double m_turn_limit;

  RTC::TimedVelocity2D m_VelocityIn;
  RTC::InPort<RTC::TimedVelocity2D> m_VelocityInIn;
  RTC::TimedPose2D m_PoseOut;
  RTC::OutPort<RTC::TimedPose2D> m_PoseOutOut;

 private:
  double m_vx;  // the latest command, before the limits
  double m_va;
  double m_x;
  double m_y;
  double m_heading;
  std::chrono::steady_clock::time_point m_last;
};

extern "C" {
DLL_EXPORT void PoseIntegratorInit(RTC::Manager* manager);
}

#endif  // POSEINTEGRATOR_H
