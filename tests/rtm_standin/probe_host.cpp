// A small component process for the end-to-end tests, written like a
// generated OpenRTM-aist component (C++14, only the OpenRTM-aist API).
//
// Component type "Probe" (category "Test"):
//   in  "in"    TimedDouble      samples to scale
//   out "out"   TimedDouble      data * gain, written when a sample arrived
//   out "count" TimedLong        the cycle number, written every cycle
//   out "blob"  TimedDoubleSeq   blob_size values, written every cycle
//   parameters  gain (double, 1), fail_activation (bool, false),
//               blob_size (long, 0), label (string, "probe")
// Lifecycle hooks and exit() print "Probe: <hook>" lines on std::cerr.
#include <rtm/idl/BasicDataTypeSkel.h>
#include <rtm/idl/ExtendedDataTypesSkel.h>

#include <rtm/CorbaPort.h>
#include <rtm/DataFlowComponentBase.h>
#include <rtm/DataInPort.h>
#include <rtm/DataOutPort.h>
#include <rtm/Manager.h>

#include <cstdlib>
#include <iostream>
#include <string>

namespace {

// clang-format off
const char* probe_profile[] = {
    "implementation_id", "Probe",
    "type_name",         "Probe",
    "description",       "End-to-end test component",
    "version",           "1.0.0",
    "vendor",            "Test",
    "category",          "Test",
    "activity_type",     "PERIODIC",
    "kind",              "DataFlowComponent",
    "max_instance",      "0",
    "language",          "C++",
    "lang_type",         "compile",
    "conf.default.gain", "1",
    "conf.default.fail_activation", "false",
    "conf.default.blob_size", "0",
    "conf.default.label", "probe",
    ""};
// clang-format on

class Probe : public RTC::DataFlowComponentBase {
 public:
  explicit Probe(RTC::Manager* manager)
      : RTC::DataFlowComponentBase(manager),
        m_gain(1),
        m_fail_activation(false),
        m_blob_size(0),
        m_inIn("in", m_in),
        m_outOut("out", m_out),
        m_countOut("count", m_count),
        m_blobOut("blob", m_blob),
        m_cycles(0) {}

  ~Probe() { std::cerr << "Probe: deleted" << std::endl; }

  RTC::ReturnCode_t exit() {
    std::cerr << "Probe: exit" << std::endl;
    return RTC::DataFlowComponentBase::exit();
  }

  RTC::ReturnCode_t onInitialize() {
    std::cerr << "Probe: onInitialize" << std::endl;
    addInPort("in", m_inIn);
    addOutPort("out", m_outOut);
    addOutPort("count", m_countOut);
    addOutPort("blob", m_blobOut);
    bindParameter("gain", m_gain, "1");
    bindParameter("fail_activation", m_fail_activation, "false");
    bindParameter("blob_size", m_blob_size, "0");
    bindParameter("label", m_label, "probe");
    return RTC::RTC_OK;
  }

  RTC::ReturnCode_t onActivated(RTC::UniqueId) {
    if (m_fail_activation) {
      std::cerr << "Probe: onActivated refused" << std::endl;
      return RTC::RTC_ERROR;
    }
    std::cerr << "Probe: onActivated gain=" << m_gain << " label=" << m_label << std::endl;
    return RTC::RTC_OK;
  }

  RTC::ReturnCode_t onDeactivated(RTC::UniqueId) {
    std::cerr << "Probe: onDeactivated" << std::endl;
    return RTC::RTC_OK;
  }

  RTC::ReturnCode_t onReset(RTC::UniqueId) {
    std::cerr << "Probe: onReset" << std::endl;
    return RTC::RTC_OK;
  }

  RTC::ReturnCode_t onFinalize() {
    std::cerr << "Probe: onFinalize" << std::endl;
    return RTC::RTC_OK;
  }

  RTC::ReturnCode_t onExecute(RTC::UniqueId) {
    while (m_inIn.isNew()) {
      m_inIn.read();
      m_out.tm = m_in.tm;
      m_out.data = m_in.data * m_gain;
      m_outOut.write();
    }
    m_count.data = ++m_cycles;
    m_countOut.write();
    if (m_blob_size > 0) {
      m_blob.data.length(static_cast<CORBA::ULong>(m_blob_size));
      for (CORBA::ULong i = 0; i < m_blob.data.length(); ++i) {
        m_blob.data[i] = 0.5 * i;
      }
      m_blobOut.write();
    }
    return RTC::RTC_OK;
  }

 private:
  double m_gain;
  bool m_fail_activation;
  long m_blob_size;
  std::string m_label;
  RTC::TimedDouble m_in;
  RTC::InPort<RTC::TimedDouble> m_inIn;
  RTC::TimedDouble m_out;
  RTC::OutPort<RTC::TimedDouble> m_outOut;
  RTC::TimedLong m_count;
  RTC::OutPort<RTC::TimedLong> m_countOut;
  RTC::TimedDoubleSeq m_blob;
  RTC::OutPort<RTC::TimedDoubleSeq> m_blobOut;
  long m_cycles;
};

RTC::RTObject_impl* ProbeCreate(RTC::Manager* manager) {
  return new Probe(manager);
}

void ProbeDelete(RTC::RTObject_impl* rtc) {
  delete rtc;
}

void moduleInit(RTC::Manager* manager) {
  coil::Properties profile(probe_profile);
  manager->registerFactory(profile, ProbeCreate, ProbeDelete);
  if (manager->createComponent("Probe") == NULL) {
    std::cerr << "Component create failed." << std::endl;
    abort();
  }
}

}  // namespace

int main(int argc, char** argv) {
  RTC::Manager* manager = RTC::Manager::init(argc, argv);
  manager->setModuleInitProc(moduleInit);
  manager->activateManager();
  manager->runManager(false);
  return 0;
}
