#include <rtm/RTObject.h>

#include <algorithm>

#include "component_host.h"

namespace RTC {

RTObject_impl::RTObject_impl(Manager* manager)
    : m_pManager(manager), m_configsets(m_properties.getNode("conf")), m_host(nullptr) {}

RTObject_impl::~RTObject_impl() = default;

void RTObject_impl::setInstanceName(const char* instance_name) {
  m_properties.setProperty("instance_name", instance_name != nullptr ? instance_name : "");
}

void RTObject_impl::setProperties(const coil::Properties& prop) {
  m_properties << prop;
}

void RTObject_impl::updateParameters(const char* config_set) {
  m_configsets.update(config_set);
}

namespace {

template <typename Port>
bool addUnique(std::vector<Port*>& ports, std::vector<PortBase*>& all, Port& port) {
  for (PortBase* existing : all) {
    if (existing == &port || std::string(existing->getName()) == port.getName()) {
      return false;
    }
  }
  ports.push_back(&port);
  all.push_back(&port);
  return true;
}

template <typename Port>
bool removeFrom(std::vector<Port*>& ports, std::vector<PortBase*>& all, Port& port) {
  auto it = std::find(ports.begin(), ports.end(), &port);
  if (it == ports.end()) {
    return false;
  }
  ports.erase(it);
  all.erase(std::remove(all.begin(), all.end(), &port), all.end());
  return true;
}

}  // namespace

bool RTObject_impl::addPort(PortBase& port) {
  std::lock_guard<std::mutex> lock(m_portsMutex);
  std::vector<PortBase*> others;
  return addUnique(others, m_ports, port);
}

bool RTObject_impl::addInPort(const char* name, InPortBase& inport) {
  if (name != nullptr) {
    inport.setName(name);
  }
  std::lock_guard<std::mutex> lock(m_portsMutex);
  return addUnique(m_inports, m_ports, inport);
}

bool RTObject_impl::addOutPort(const char* name, OutPortBase& outport) {
  if (name != nullptr) {
    outport.setName(name);
  }
  std::lock_guard<std::mutex> lock(m_portsMutex);
  return addUnique(m_outports, m_ports, outport);
}

bool RTObject_impl::removeInPort(InPortBase& port) {
  std::lock_guard<std::mutex> lock(m_portsMutex);
  return removeFrom(m_inports, m_ports, port);
}

bool RTObject_impl::removeOutPort(OutPortBase& port) {
  std::lock_guard<std::mutex> lock(m_portsMutex);
  return removeFrom(m_outports, m_ports, port);
}

ReturnCode_t RTObject_impl::exit() {
  return m_host != nullptr ? m_host->exit() : PRECONDITION_NOT_MET;
}

double RTObject_impl::getExecutionRate(UniqueId /*ec_id*/) {
  return m_host != nullptr ? m_host->rate() : 0.0;
}

}  // namespace RTC
