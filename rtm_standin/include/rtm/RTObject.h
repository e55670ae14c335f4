// RTC::RTObject_impl: the base of every RT component (stand-in host, C++14).
//
// The stand-in runs components in-process: there are no CORBA servants, no
// naming service and no port negotiation. The lifecycle hooks, ports and
// configuration binding behave as in OpenRTM-aist 1.x.
#ifndef RTM_RTOBJECT_H
#define RTM_RTOBJECT_H

#include <mutex>
#include <string>
#include <vector>

#include <coil/Properties.h>
#include <rtm/ConfigAdmin.h>
#include <rtm/InPortBase.h>
#include <rtm/OutPortBase.h>
#include <rtm/RTC.h>

namespace rtm_standin {
class ComponentHost;
}  // namespace rtm_standin

namespace RTC {

class RTObject_impl {
 public:
  explicit RTObject_impl(Manager* manager);
  virtual ~RTObject_impl();

  // Profile entries (point into the component's properties).
  const char* getInstanceName() { return m_properties["instance_name"].c_str(); }
  const char* getTypeName() { return m_properties["type_name"].c_str(); }
  const char* getCategory() { return m_properties["category"].c_str(); }
  coil::Properties& getProperties() { return m_properties; }

  template <typename VarType>
  bool bindParameter(const char* param_name, VarType& var, const char* def_val,
                     bool (*trans)(VarType&, const char*) = coil::stringTo) {
    return m_configsets.bindParameter(param_name, var, def_val, trans);
  }

  // False when the component has a port of that name already.
  bool addInPort(const char* name, InPortBase& inport);
  bool addOutPort(const char* name, OutPortBase& outport);

  // Deactivates (if active), ends the execution context and finalizes the
  // component. The manager's shutdown calls it for every component before
  // anything else, so an override runs first (e.g. to give up a handshake
  // under way) and then calls this one.
  virtual ReturnCode_t exit();

  // The rate of the component's execution context, Hz; 0 before the host
  // has taken the component. The context's handle is not looked at: each
  // component has one context.
  double getExecutionRate(UniqueId ec_id);

  RTObject_impl(const RTObject_impl&) = delete;
  RTObject_impl& operator=(const RTObject_impl&) = delete;

 protected:
  // Lifecycle hooks; each returns RTC_OK unless overridden.
  virtual ReturnCode_t onInitialize() { return RTC_OK; }
  virtual ReturnCode_t onFinalize() { return RTC_OK; }
  virtual ReturnCode_t onStartup(UniqueId /*exec_handle*/) { return RTC_OK; }
  virtual ReturnCode_t onShutdown(UniqueId /*exec_handle*/) { return RTC_OK; }
  virtual ReturnCode_t onActivated(UniqueId /*exec_handle*/) { return RTC_OK; }
  virtual ReturnCode_t onDeactivated(UniqueId /*exec_handle*/) { return RTC_OK; }
  virtual ReturnCode_t onExecute(UniqueId /*exec_handle*/) { return RTC_OK; }
  virtual ReturnCode_t onAborting(UniqueId /*exec_handle*/) { return RTC_OK; }
  virtual ReturnCode_t onError(UniqueId /*exec_handle*/) { return RTC_OK; }
  virtual ReturnCode_t onReset(UniqueId /*exec_handle*/) { return RTC_OK; }
  virtual ReturnCode_t onStateUpdate(UniqueId /*exec_handle*/) { return RTC_OK; }
  virtual ReturnCode_t onRateChanged(UniqueId /*exec_handle*/) { return RTC_OK; }

  Manager* m_pManager;
  coil::Properties m_properties;
  ConfigAdmin m_configsets;

 private:
  friend class ::rtm_standin::ComponentHost;

  ::rtm_standin::ComponentHost* m_host;  // set when the host takes the component
  std::mutex m_portsMutex;
  std::vector<InPortBase*> m_inports;
  std::vector<OutPortBase*> m_outports;
};

typedef RTObject_impl RtcBase;

}  // namespace RTC

#endif  // RTM_RTOBJECT_H
