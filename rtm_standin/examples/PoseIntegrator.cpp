#include "PoseIntegrator.h"

#include <algorithm>
#include <cmath>
#include <iostream>

// clang-format off
static const char* poseintegrator_spec[] = {
    "implementation_id", "PoseIntegrator",
    "type_name",         "PoseIntegrator",
    "description",       "Integrates velocity commands into a planar pose",
    "version",           "1.0.0",
    "vendor",            "Example",
    "category",          "Example",
    "activity_type",     "PERIODIC",
    "kind",              "DataFlowComponent",
    "max_instance",      "0",
    "language",          "C++",
    "lang_type",         "compile",
    "conf.default.speed_limit", "1.0",
    "conf.default.turn_limit",  "1.0",
    ""};
// clang-format on

PoseIntegrator::PoseIntegrator(RTC::Manager* manager)
    : RTC::DataFlowComponentBase(manager),
      m_speed_limit(1.0),
      m_turn_limit(1.0),
      m_VelocityInIn("VelocityIn", m_VelocityIn),
      m_PoseOutOut("PoseOut", m_PoseOut),
      m_vx(0),
      m_va(0),
      m_x(0),
      m_y(0),
      m_heading(0) {}

PoseIntegrator::~PoseIntegrator() {}

RTC::ReturnCode_t PoseIntegrator::onInitialize() {
  addInPort("VelocityIn", m_VelocityInIn);
  addOutPort("PoseOut", m_PoseOutOut);
  bindParameter("speed_limit", m_speed_limit, "1.0");
  bindParameter("turn_limit", m_turn_limit, "1.0");
  return RTC::RTC_OK;
}

RTC::ReturnCode_t PoseIntegrator::onActivated(RTC::UniqueId /*ec_id*/) {
  m_vx = m_va = 0;
  m_x = m_y = m_heading = 0;
  m_last = std::chrono::steady_clock::now();
  std::cerr << "PoseIntegrator: pose reset; speed limit " << m_speed_limit << " m/s, turn limit "
            << m_turn_limit << " rad/s" << std::endl;
  return RTC::RTC_OK;
}

RTC::ReturnCode_t PoseIntegrator::onDeactivated(RTC::UniqueId /*ec_id*/) {
  std::cerr << "PoseIntegrator: stopped at x " << m_x << ", y " << m_y << ", heading " << m_heading
            << std::endl;
  return RTC::RTC_OK;
}

RTC::ReturnCode_t PoseIntegrator::onExecute(RTC::UniqueId /*ec_id*/) {
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

static RTC::RTObject_impl* PoseIntegratorCreate(RTC::Manager* manager) {
  return new PoseIntegrator(manager);
}

static void PoseIntegratorDelete(RTC::RTObject_impl* rtc) {
  delete rtc;
}

extern "C" {
void PoseIntegratorInit(RTC::Manager* manager) {
  coil::Properties profile(poseintegrator_spec);
  manager->registerFactory(profile, PoseIntegratorCreate, PoseIntegratorDelete);
}
}
