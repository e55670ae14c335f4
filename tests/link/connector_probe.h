#ifndef TOLVARINE_TESTS_LINK_CONNECTOR_PROBE_H
#define TOLVARINE_TESTS_LINK_CONNECTOR_PROBE_H

// Read access to a connector's state and its internal steps, for tests only.

#include <pthread.h>

#include <cstdint>
#include <string>

#include <boost/thread/locks.hpp>

#include "connector.h"

namespace tolvarine_controller {

class ConnectorProbe {
 public:
  static std::uint32_t parityErrorCount(Connector& c) {
    boost::lock_guard<boost::mutex> lock(c.receiveMutex);
    return c.parityErrorCount;
  }
  static std::uint32_t sendCount(Connector& c) {
    boost::lock_guard<boost::mutex> lock(c.sendMutex);
    return c.sendCount;
  }
  static std::size_t queued(Connector& c) {
    boost::lock_guard<boost::mutex> lock(c.receiveMutex);
    return c.receiveQueue.size();
  }
  static bool isOpen(const Connector& c) { return c.isOpen; }
  static bool isRunning(const Connector& c) { return c.isRunning; }
  static bool hasPort(const Connector& c) { return c.port != nullptr; }
  static bool hasThread(const Connector& c) { return c.thread != nullptr; }
  static std::string portName(const Connector& c) { return c.portName; }
  static SendData command(Connector& c) {
    boost::lock_guard<boost::mutex> lock(c.sendMutex);
    return c.command;
  }
  // The communication thread, for per-thread measurements (CPU time,
  // scheduling policy). Only while it exists.
  static pthread_t threadHandle(Connector& c) { return c.thread->native_handle(); }

  static bool send(Connector& c, const SendData& data) { return c.send(data); }
  static bool receive(Connector& c, StatusFrame& buffer) { return c.receive(buffer); }
  static bool pushReceiveData(Connector& c, const ReceiveData& data, std::int32_t elapsed) {
    return c.pushReceiveData(data, elapsed);
  }
};

}  // namespace tolvarine_controller

#endif  // TOLVARINE_TESTS_LINK_CONNECTOR_PROBE_H
