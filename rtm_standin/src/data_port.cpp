#include "data_port.h"

#include <algorithm>
#include <exception>

#include <rtm/CorbaPort.h>
#include <rtm/PortBase.h>

#include "host_log.h"

namespace rtm_standin {

DataPortCore::DataPortCore(const CORBA::Any& sample) {
  CORBA::TypeCode_var tc = sample.type();
  m_schema = schemaOf(tc.in());
  try {
    m_typeName = tc->name();
    m_typeId = tc->id();
  } catch (const CORBA::TypeCode::BadKind&) {
    // Only structs, enums and the like have names; others stay anonymous.
  }
}

void DataPortCore::addListener(const std::shared_ptr<SampleListener>& listener) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_listeners.push_back(listener);
  m_listenerCount.store(static_cast<int>(m_listeners.size()), std::memory_order_release);
}

void DataPortCore::removeListener(const std::shared_ptr<SampleListener>& listener) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_listeners.erase(std::remove(m_listeners.begin(), m_listeners.end(), listener),
                    m_listeners.end());
  m_listenerCount.store(static_cast<int>(m_listeners.size()), std::memory_order_release);
}

void DataPortCore::publish(cdrMemoryStream& sample) {
  std::vector<std::shared_ptr<SampleListener>> listeners;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    listeners = m_listeners;
  }
  for (const auto& listener : listeners) {
    sample.rewindInputPtr();
    try {
      listener->onSample(sample);
    } catch (const std::exception& e) {
      hostLog(std::string("a sample could not be delivered: ") + e.what());
    } catch (const CORBA::Exception& e) {
      hostLog(std::string("a sample could not be delivered: ") + e._name());
    }
  }
}

void writeJsonSample(RTC::InPortBase& port, const nlohmann::ordered_json& sample) {
  cdrMemoryStream stream;
  sampleFromJson(DataPortAccess::core(port).schema(), sample, stream);
  stream.rewindInputPtr();
  DataPortAccess::put(port, stream);
}

}  // namespace rtm_standin

namespace RTC {

PortBase::PortBase(const char* name) : m_name(name != nullptr ? name : "") {}

PortBase::~PortBase() = default;

InPortBase::InPortBase(const char* name, const CORBA::Any& sample)
    : PortBase(name), m_core(new rtm_standin::DataPortCore(sample)) {}

InPortBase::~InPortBase() = default;

const char* InPortBase::getDataTypeName() const {
  return m_core->typeName().c_str();
}

const char* InPortBase::getDataTypeId() const {
  return m_core->typeId().c_str();
}

OutPortBase::OutPortBase(const char* name, const CORBA::Any& sample)
    : PortBase(name), m_core(new rtm_standin::DataPortCore(sample)) {}

OutPortBase::~OutPortBase() = default;

const char* OutPortBase::getDataTypeName() const {
  return m_core->typeName().c_str();
}

const char* OutPortBase::getDataTypeId() const {
  return m_core->typeId().c_str();
}

bool OutPortBase::hasListeners() const {
  return m_core->hasListeners();
}

void OutPortBase::publish(cdrMemoryStream& sample) {
  m_core->publish(sample);
}

}  // namespace RTC
