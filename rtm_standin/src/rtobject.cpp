#include <rtm/RTObject.h>

#include "component_host.h"

namespace RTC {

RTObject_impl::RTObject_impl(Manager* manager)
    : m_pManager(manager), m_configsets(m_properties.getNode("conf")), m_host(nullptr) {}

RTObject_impl::~RTObject_impl() = default;

namespace {

template <typename Port, typename Others>
bool addUnique(const char* name, Port& port, std::vector<Port*>& ports, const Others& others) {
  if (name != nullptr) {
    port.setName(name);
  }
  const std::string taken = port.getName();
  for (const PortBase* p : ports) {
    if (p == &port || taken == p->getName()) {
      return false;
    }
  }
  for (const PortBase* p : others) {
    if (taken == p->getName()) {
      return false;
    }
  }
  ports.push_back(&port);
  return true;
}

}  // namespace

bool RTObject_impl::addInPort(const char* name, InPortBase& inport) {
  std::lock_guard<std::mutex> lock(m_portsMutex);
  return addUnique(name, inport, m_inports, m_outports);
}

bool RTObject_impl::addOutPort(const char* name, OutPortBase& outport) {
  std::lock_guard<std::mutex> lock(m_portsMutex);
  return addUnique(name, outport, m_outports, m_inports);
}

ReturnCode_t RTObject_impl::exit() {
  return m_host != nullptr ? m_host->exit() : PRECONDITION_NOT_MET;
}

double RTObject_impl::getExecutionRate(UniqueId /*ec_id*/) {
  return m_host != nullptr ? m_host->rate() : 0.0;
}

}  // namespace RTC
