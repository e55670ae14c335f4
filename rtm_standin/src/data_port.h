// What the host knows about a data port beyond the OpenRTM-aist API: its
// data type (name, repository id, type code) and, for out-ports, the
// listeners that receive every written sample.
#ifndef RTM_STANDIN_DATA_PORT_H
#define RTM_STANDIN_DATA_PORT_H

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include <rtm/InPortBase.h>
#include <rtm/OutPortBase.h>

#include "sample_json.h"

namespace rtm_standin {

// Receives every sample written to an out-port, in the writing thread (the
// component's execution context), positioned at its start; must not block.
using SampleListener = std::function<void(cdrMemoryStream&)>;

class DataPortCore {
 public:
  explicit DataPortCore(const CORBA::Any& sample);

  const std::string& typeName() const { return m_typeName; }
  const std::string& typeId() const { return m_typeId; }
  CORBA::TypeCode_ptr type() const { return m_type.in(); }

  // The out-port's one listener (the control socket's); empty for none.
  void listen(SampleListener listener);
  bool hasListener() const { return m_listening.load(std::memory_order_acquire); }
  void publish(cdrMemoryStream& sample);

 private:
  std::string m_typeName;
  std::string m_typeId;
  CORBA::TypeCode_var m_type;
  std::mutex m_mutex;
  std::shared_ptr<const SampleListener> m_listener;
  std::atomic<bool> m_listening{false};
};

// The host's access to the ports' private parts.
class DataPortAccess {
 public:
  static DataPortCore& core(RTC::InPortBase& port) { return *port.m_core; }
  static DataPortCore& core(RTC::OutPortBase& port) { return *port.m_core; }
  // Queues one marshalled sample in an in-port (a connected writer's job).
  static void put(RTC::InPortBase& port, cdrStream& sample) { port.putMarshalled(sample); }
};

// Converts `sample` to the in-port's type and queues it; throws SampleError.
void writeJsonSample(RTC::InPortBase& port, const nlohmann::ordered_json& sample);

}  // namespace rtm_standin

#endif  // RTM_STANDIN_DATA_PORT_H
