// What the host's control socket understands: the requests of the control
// protocol (list, activate, deactivate, reset, get, set, write, subscribe,
// unsubscribe, shutdown, help) carried out on the hosted components, and the
// samples of subscribed out-ports streamed as {"event":"sample",...}.
//
// Requests run in the server's socket thread. Transitions are handed to the
// component's execution context and answered once they have taken place;
// the server holds that client's further requests until then.
#ifndef RTM_STANDIN_CONTROL_REQUESTS_H
#define RTM_STANDIN_CONTROL_REQUESTS_H

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include <tolvarine_control/server.h>

namespace RTC {
class OutPortBase;
}

namespace rtm_standin {

class ComponentHost;
class ManagerCore;

class ControlRequests : public tolvarine_control::RequestHandler {
 public:
  // `manager` gives the running components and starts the shutdown.
  explicit ControlRequests(ManagerCore& manager);
  ~ControlRequests() override;

  // The server whose clients receive the samples (none: no more streams).
  void attach(tolvarine_control::Server* server);

  void handle(const tolvarine_control::Request& request) override;
  // Stops streaming samples: the ports no longer call into the server.
  void detachPorts();

  ControlRequests(const ControlRequests&) = delete;
  ControlRequests& operator=(const ControlRequests&) = delete;

 private:
  struct PortRef;
  using Json = tolvarine_control::Json;

  void dispatch(const tolvarine_control::Request& request);
  Json listComponents();
  ComponentHost* findHost(const Json& request);
  PortRef resolvePort(const Json& request, const std::string& name, bool wantOut);
  Json subscribe(const tolvarine_control::Request& request);
  Json unsubscribe(const tolvarine_control::Request& request);

  ManagerCore& m_manager;
  tolvarine_control::Server* m_server = nullptr;
  std::mutex m_tapsMutex;
  // The out-ports whose samples stream to the server, by "Instance.Port".
  std::map<std::string, RTC::OutPortBase*> m_taps;
};

}  // namespace rtm_standin

#endif  // RTM_STANDIN_CONTROL_REQUESTS_H
