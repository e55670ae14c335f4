// What the host knows about a data port beyond the OpenRTM-aist API: its
// data type (name, repository id, schema for JSON) and, for out-ports, the
// listeners that receive every written sample.
#ifndef RTM_STANDIN_DATA_PORT_H
#define RTM_STANDIN_DATA_PORT_H

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <rtm/InPortBase.h>
#include <rtm/OutPortBase.h>

#include "sample_json.h"

namespace rtm_standin {

class SampleListener {
 public:
  virtual ~SampleListener() = default;
  // Runs in the writing thread (the component's execution context) with
  // `sample` positioned at its start; must not block.
  virtual void onSample(cdrMemoryStream& sample) = 0;
};

class DataPortCore {
 public:
  explicit DataPortCore(const CORBA::Any& sample);

  const std::string& typeName() const { return m_typeName; }
  const std::string& typeId() const { return m_typeId; }
  const TypeSchema& schema() const { return *m_schema; }
  std::shared_ptr<const TypeSchema> schemaPtr() const { return m_schema; }

  void addListener(const std::shared_ptr<SampleListener>& listener);
  void removeListener(const std::shared_ptr<SampleListener>& listener);
  bool hasListeners() const { return m_listenerCount.load(std::memory_order_acquire) > 0; }
  void publish(cdrMemoryStream& sample);

 private:
  std::string m_typeName;
  std::string m_typeId;
  std::shared_ptr<const TypeSchema> m_schema;
  std::mutex m_mutex;
  std::vector<std::shared_ptr<SampleListener>> m_listeners;
  std::atomic<int> m_listenerCount{0};
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
