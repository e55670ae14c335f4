// A component process for the end-to-end tests, written the way a generated
// OpenRTM-aist component is (C++14, only the OpenRTM-aist API).
//
// Type "Probe", category "Test":
//   in  "in"    StandinTest::TimedVelocityWithLists
//   out "out"   every sample read, vx and va times gain (tm, id, error kept)
//   out "count" RTC::TimedLong: the cycle number, stamped with the wall clock
//   out "blob"  RTC::TimedDoubleSeq: blob_size values each cycle (none at 0)
//   parameters  gain, fail_activation, fail_execute, execute_ms, blob_size
// Each hook prints "<instance>: <hook>" on std::cerr (not onExecute; onError
// once after a reset). The probe checks what a component relies on: its hooks
// never overlap and run in the execution context's one thread, and no
// parameter changes inside onExecute; else it prints "VIOLATION". An
// instance named "Broken" fails onInitialize.
#include <rtm/idl/BasicDataTypeSkel.h>
#include <rtm/idl/ExtendedDataTypesSkel.h>

#include "StandinTest.hh"

// Every public header of the stand-in, so that they are all built as C++14.
#include <coil/Properties.h>
#include <coil/stringutil.h>
#include <rtm/ConfigAdmin.h>
#include <rtm/CorbaPort.h>
#include <rtm/DataFlowComponentBase.h>
#include <rtm/DataInPort.h>
#include <rtm/DataOutPort.h>
#include <rtm/Manager.h>
#include <rtm/RTC.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>

namespace {

// clang-format off
const char* probe_profile[] = {
    "implementation_id", "Probe", "type_name", "Probe", "category", "Test", "max_instance", "0",
    "conf.default.gain", "1", "conf.default.fail_activation", "false",
    "conf.default.fail_execute", "false", "conf.default.execute_ms", "0",
    "conf.default.blob_size", "0", ""};
// clang-format on

class Probe : public RTC::DataFlowComponentBase {
 public:
  explicit Probe(RTC::Manager* manager) : RTC::DataFlowComponentBase(manager) {}
  ~Probe() { say("deleted"); }

  RTC::ReturnCode_t exit() {
    say("exit");
    return RTC::DataFlowComponentBase::exit();
  }

  RTC::ReturnCode_t onInitialize() {
    say("onInitialize");
    addInPort("in", m_inIn);
    addOutPort("out", m_outOut);
    addOutPort("count", m_countOut);
    addOutPort("blob", m_blobOut);
    bindParameter("gain", m_gain, "1");
    bindParameter("fail_activation", m_failActivation, "false");
    bindParameter("fail_execute", m_failExecute, "false");
    bindParameter("execute_ms", m_executeMs, "0");
    bindParameter("blob_size", m_blobSize, "0");
    return std::string(getInstanceName()) == "Broken" ? RTC::RTC_ERROR : RTC::RTC_OK;
  }
  RTC::ReturnCode_t onStartup(RTC::UniqueId) {
    m_context = std::this_thread::get_id();
    return RTC::RTC_OK;
  }
  RTC::ReturnCode_t onFinalize() { return say("onFinalize"); }
  RTC::ReturnCode_t onActivated(RTC::UniqueId) {
    Hook hook(this);
    std::cerr << getInstanceName() << ": onActivated gain=" << m_gain << std::endl;
    return m_failActivation ? RTC::RTC_ERROR : RTC::RTC_OK;
  }
  RTC::ReturnCode_t onDeactivated(RTC::UniqueId) { return hooked("onDeactivated"); }
  RTC::ReturnCode_t onAborting(RTC::UniqueId) { return hooked("onAborting"); }
  RTC::ReturnCode_t onError(RTC::UniqueId) {
    Hook hook(this);
    return m_errors++ == 0 ? say("onError") : RTC::RTC_OK;
  }
  RTC::ReturnCode_t onReset(RTC::UniqueId) {
    m_errors = 0;
    return hooked("onReset");
  }

  RTC::ReturnCode_t onExecute(RTC::UniqueId) {
    Hook hook(this);
    const double gain = m_gain;
    while (m_inIn.isNew()) {
      m_inIn.read();
      m_out = m_in;
      m_out.data.vx = m_in.data.vx * m_gain;
      m_out.data.va = m_in.data.va * m_gain;
      m_outOut.write();
    }
    const long long ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                             std::chrono::system_clock::now().time_since_epoch())
                             .count();
    m_count.tm.sec = static_cast<CORBA::ULong>(ns / 1000000000);
    m_count.tm.nsec = static_cast<CORBA::ULong>(ns % 1000000000);
    m_count.data = ++m_cycles;
    m_countOut.write();
    if (m_blobSize > 0) {
      m_blob.data.length(static_cast<CORBA::ULong>(m_blobSize));
      for (CORBA::ULong i = 0; i < m_blob.data.length(); ++i) {
        m_blob.data[i] = 0.5 * i;
      }
      m_blobOut.write();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(m_executeMs));
    if (gain != m_gain) {
      say("VIOLATION: a parameter changed inside onExecute");
    }
    return m_failExecute ? RTC::RTC_ERROR : RTC::RTC_OK;
  }

 private:
  // Marks a hook of the execution context while it runs.
  struct Hook {
    explicit Hook(Probe* p) : probe(p) {
      if (probe->m_inHook.exchange(true)) {
        probe->say("VIOLATION: hooks overlap");
      }
      if (std::this_thread::get_id() != probe->m_context) {
        probe->say("VIOLATION: a hook outside the execution context's thread");
      }
    }
    ~Hook() { probe->m_inHook = false; }
    Probe* probe;
  };

  RTC::ReturnCode_t say(const char* what) {
    std::cerr << getInstanceName() << ": " << what << std::endl;
    return RTC::RTC_OK;
  }
  RTC::ReturnCode_t hooked(const char* what) {
    Hook hook(this);
    return say(what);
  }

  double m_gain = 1;
  bool m_failActivation = false;
  bool m_failExecute = false;
  int m_executeMs = 0;
  long m_blobSize = 0;
  StandinTest::TimedVelocityWithLists m_in, m_out;
  RTC::InPort<StandinTest::TimedVelocityWithLists> m_inIn{"in", m_in};
  RTC::OutPort<StandinTest::TimedVelocityWithLists> m_outOut{"out", m_out};
  RTC::TimedLong m_count;
  RTC::OutPort<RTC::TimedLong> m_countOut{"count", m_count};
  RTC::TimedDoubleSeq m_blob;
  RTC::OutPort<RTC::TimedDoubleSeq> m_blobOut{"blob", m_blob};
  long m_cycles = 0;
  int m_errors = 0;
  std::atomic<bool> m_inHook{false};
  std::thread::id m_context;
};

RTC::RTObject_impl* ProbeCreate(RTC::Manager* manager) {
  return new Probe(manager);
}

void ProbeDelete(RTC::RTObject_impl* rtc) {
  delete rtc;
}

void ProbeInit(RTC::Manager* manager) {
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
  manager->setModuleInitProc(ProbeInit);
  manager->activateManager();
  manager->runManager(false);
  return 0;
}
