// Compiled as C++14 with -pedantic: the stand-in's public headers, in the
// order a generated component includes them, and the templates a component
// instantiates. Running it checks the declarations' defaults too.
#include <rtm/idl/BasicDataTypeSkel.h>
#include <rtm/idl/BasicDataTypeStub.h>
#include <rtm/idl/ExtendedDataTypesSkel.h>
#include <rtm/idl/ExtendedDataTypesStub.h>

#include <rtm/CorbaPort.h>
#include <rtm/DataFlowComponentBase.h>
#include <rtm/DataInPort.h>
#include <rtm/DataOutPort.h>
#include <rtm/Manager.h>

#include <coil/Properties.h>
#include <coil/stringutil.h>
#include <rtm/ConfigAdmin.h>
#include <rtm/Factory.h>
#include <rtm/InPort.h>
#include <rtm/InPortBase.h>
#include <rtm/OutPort.h>
#include <rtm/OutPortBase.h>
#include <rtm/PortBase.h>
#include <rtm/RTC.h>
#include <rtm/RTObject.h>

#include <iostream>
#include <string>
#include <vector>

namespace {

class Sample : public RTC::DataFlowComponentBase {
 public:
  explicit Sample(RTC::Manager* manager)
      : RTC::DataFlowComponentBase(manager),
        m_inIn("in", m_in),
        m_inSmallIn("small", m_in, 4, false, false, 0, 0),
        m_outOut("out", m_out),
        m_service("service") {}

  virtual RTC::ReturnCode_t onInitialize() {
    addInPort("in", m_inIn);
    addInPort("small", m_inSmallIn);
    addOutPort("out", m_outOut);
    addPort(m_service);
    bindParameter("number", m_number, "1.5");
    bindParameter("text", m_text, "a b");
    bindParameter("count", m_count, "3");
    bindParameter("flag", m_flag, "true");
    bindParameter("list", m_list, "1, 2, 3");
    return RTC::RTC_OK;
  }

  virtual RTC::ReturnCode_t onExecute(RTC::UniqueId ec_id) {
    (void)ec_id;
    if (m_inIn.isNew()) {
      m_inIn.read();
    }
    m_out.data.heading = m_in.data.va;
    m_outOut.write();
    return RTC::RTC_OK;
  }

  double number() const { return m_number; }

 private:
  double m_number;
  std::string m_text;
  int m_count;
  bool m_flag;
  std::vector<double> m_list;
  RTC::TimedVelocity2D m_in;
  RTC::InPort<RTC::TimedVelocity2D> m_inIn;
  RTC::InPort<RTC::TimedVelocity2D> m_inSmallIn;
  RTC::TimedPose2D m_out;
  RTC::OutPort<RTC::TimedPose2D> m_outOut;
  RTC::CorbaPort m_service;
};

const char* spec[] = {"implementation_id", "Sample", "type_name", "Sample", ""};

RTC::RTObject_impl* create(RTC::Manager* manager) {
  return new Sample(manager);
}

void destroy(RTC::RTObject_impl* rtc) {
  delete rtc;
}

}  // namespace

extern "C" {
DLL_EXPORT void SampleInit(RTC::Manager* manager);
}

void SampleInit(RTC::Manager* manager) {
  coil::Properties profile(spec);
  manager->registerFactory(profile, create, destroy);
}

int main(int argc, char** argv) {
  if (argc > 1 && std::string(argv[1]) == "--help") {
    std::cout << "Usage: " << argv[0]
              << "\nCompiled as C++14: checks that the stand-in's public headers build and that"
                 " their declarations hold; exits 0 when they do.\n";
    return 0;
  }
  // The declarations the component relies on, checked where C++14 code
  // sees them.
  RTC::UniqueId id = 0;
  RTC::ExecutionContextHandle_t handle = id;
  RTC::ReturnCode_t codes[] = {RTC::RTC_OK,      RTC::RTC_ERROR,        RTC::BAD_PARAMETER,
                               RTC::UNSUPPORTED, RTC::OUT_OF_RESOURCES, RTC::PRECONDITION_NOT_MET};
  RTC::Manager::ModuleInitProc proc = SampleInit;
  RTC::RtcNewFunc newFunc = create;
  RTC::RtcDeleteFunc deleteFunc = destroy;
  RTC::RtcBase* base = nullptr;
  coil::Properties profile(spec);
  double value = 0;
  bool converted = coil::stringTo(value, "0.5488");
  return (handle == 0 && codes[0] == RTC::RTC_OK && proc != nullptr && newFunc != nullptr &&
          deleteFunc != nullptr && base == nullptr &&
          profile.getProperty("type_name") == "Sample" && converted && value == 0.5488)
             ? 0
             : 1;
}
