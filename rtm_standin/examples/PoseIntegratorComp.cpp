// PoseIntegrator: integrates planar velocity commands into a pose, like a
// simulated differential-drive robot. Written only against the OpenRTM-aist
// 1.x API, so it builds against OpenRTM-aist or the stand-in host alike.
//
//   in  "VelocityIn"  RTC::TimedVelocity2D  commanded vx (m/s) and va (rad/s)
//   out "PoseOut"     RTC::TimedPose2D      the integrated pose, every cycle
//   parameters        "speed_limit" (m/s, default 1.0),
//                     "turn_limit" (rad/s, default 1.0)
#include <rtm/idl/BasicDataTypeSkel.h>
#include <rtm/idl/ExtendedDataTypesSkel.h>

#include <rtm/DataFlowComponentBase.h>
#include <rtm/DataInPort.h>
#include <rtm/DataOutPort.h>
#include <rtm/Manager.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <iostream>

// clang-format off
static const char* poseintegrator_profile[] = {
    "implementation_id", "PoseIntegrator",
    "type_name",         "PoseIntegrator",
    "category",          "Example",
    "conf.default.speed_limit", "1.0",
    "conf.default.turn_limit",  "1.0",
    ""};
// clang-format on

class PoseIntegrator : public RTC::DataFlowComponentBase {
 public:
  explicit PoseIntegrator(RTC::Manager* manager) : RTC::DataFlowComponentBase(manager) {}

  virtual RTC::ReturnCode_t onInitialize() {
    addInPort("VelocityIn", m_VelocityInIn);
    addOutPort("PoseOut", m_PoseOutOut);
    bindParameter("speed_limit", m_speed_limit, "1.0");
    bindParameter("turn_limit", m_turn_limit, "1.0");
    return RTC::RTC_OK;
  }

  virtual RTC::ReturnCode_t onActivated(RTC::UniqueId /*ec_id*/) {
    m_vx = m_va = 0;
    m_x = m_y = m_heading = 0;
    m_last = std::chrono::steady_clock::now();
    std::cerr << "PoseIntegrator: pose reset; speed limit " << m_speed_limit << " m/s, turn limit "
              << m_turn_limit << " rad/s" << std::endl;
    return RTC::RTC_OK;
  }

  virtual RTC::ReturnCode_t onDeactivated(RTC::UniqueId /*ec_id*/) {
    std::cerr << "PoseIntegrator: stopped at x " << m_x << ", y " << m_y << ", heading "
              << m_heading << std::endl;
    return RTC::RTC_OK;
  }

  virtual RTC::ReturnCode_t onExecute(RTC::UniqueId /*ec_id*/) {
    while (m_VelocityInIn.isNew()) {
      m_VelocityInIn.read();
      m_vx = m_VelocityIn.data.vx;
      m_va = m_VelocityIn.data.va;
    }
    // The limits apply to the standing command, so a changed limit takes
    // effect at once.
    const double vx = std::max(-m_speed_limit, std::min(m_speed_limit, m_vx));
    const double va = std::max(-m_turn_limit, std::min(m_turn_limit, m_va));
    const std::chrono::steady_clock::time_point now = std::chrono::steady_clock::now();
    const double dt = std::chrono::duration<double>(now - m_last).count();
    m_last = now;
    m_x += vx * std::cos(m_heading) * dt;
    m_y += vx * std::sin(m_heading) * dt;
    m_heading += va * dt;

    const long long ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                             std::chrono::system_clock::now().time_since_epoch())
                             .count();
    m_PoseOut.tm.sec = static_cast<CORBA::ULong>(ns / 1000000000);
    m_PoseOut.tm.nsec = static_cast<CORBA::ULong>(ns % 1000000000);
    m_PoseOut.data.position.x = m_x;
    m_PoseOut.data.position.y = m_y;
    m_PoseOut.data.heading = m_heading;
    m_PoseOutOut.write();
    return RTC::RTC_OK;
  }

 private:
  double m_speed_limit = 1.0;
  double m_turn_limit = 1.0;
  RTC::TimedVelocity2D m_VelocityIn;
  RTC::InPort<RTC::TimedVelocity2D> m_VelocityInIn{"VelocityIn", m_VelocityIn};
  RTC::TimedPose2D m_PoseOut;
  RTC::OutPort<RTC::TimedPose2D> m_PoseOutOut{"PoseOut", m_PoseOut};
  double m_vx = 0;  // the latest command, before the limits
  double m_va = 0;
  double m_x = 0;
  double m_y = 0;
  double m_heading = 0;
  std::chrono::steady_clock::time_point m_last;
};

static RTC::RTObject_impl* PoseIntegratorCreate(RTC::Manager* manager) {
  return new PoseIntegrator(manager);
}

static void PoseIntegratorDelete(RTC::RTObject_impl* rtc) {
  delete rtc;
}

extern "C" {
DLL_EXPORT void PoseIntegratorInit(RTC::Manager* manager) {
  coil::Properties profile(poseintegrator_profile);
  manager->registerFactory(profile, PoseIntegratorCreate, PoseIntegratorDelete);
}
}

static void MyModuleInit(RTC::Manager* manager) {
  PoseIntegratorInit(manager);
  RTC::RTObject_impl* comp = manager->createComponent("PoseIntegrator");
  if (comp == NULL) {
    std::cerr << "Component create failed." << std::endl;
    abort();
  }
}

int main(int argc, char** argv) {
  RTC::Manager* manager = RTC::Manager::init(argc, argv);
  manager->setModuleInitProc(MyModuleInit);
  manager->activateManager();
  manager->runManager();
  return 0;
}
