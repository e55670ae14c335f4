#include "data_port.h"

#include <exception>

#include "host_log.h"

namespace rtm_standin {

DataPortCore::DataPortCore(const CORBA::Any& sample) : m_type(sample.type()) {
  try {
    m_typeName = m_type->name();
    m_typeId = m_type->id();
  } catch (const CORBA::TypeCode::BadKind&) {
    // Only structs, enums and the like have names; others stay anonymous.
  }
}

void DataPortCore::listen(SampleListener listener) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_listening.store(static_cast<bool>(listener), std::memory_order_release);
  m_listener = listener ? std::make_shared<const SampleListener>(std::move(listener)) : nullptr;
}

void DataPortCore::publish(cdrMemoryStream& sample) {
  std::shared_ptr<const SampleListener> listener;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    listener = m_listener;
  }
  if (!listener) {
    return;
  }
  sample.rewindInputPtr();
  try {
    (*listener)(sample);
  } catch (const std::exception& e) {
    hostLog(std::string("a sample could not be delivered: ") + e.what());
  } catch (const CORBA::Exception& e) {
    hostLog(std::string("a sample could not be delivered: ") + e._name());
  }
}

void writeJsonSample(RTC::InPortBase& port, const nlohmann::ordered_json& sample) {
  cdrMemoryStream stream;
  sampleFromJson(DataPortAccess::core(port).type(), sample, stream);
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

OutPortBase::OutPortBase(const char* name, const CORBA::Any& sample)
    : PortBase(name), m_core(new rtm_standin::DataPortCore(sample)) {}

OutPortBase::~OutPortBase() = default;

bool OutPortBase::hasListeners() const {
  return m_core->hasListener();
}

void OutPortBase::publish(cdrMemoryStream& sample) {
  m_core->publish(sample);
}

}  // namespace RTC
