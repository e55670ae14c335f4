// The host's control endpoint: a UNIX-domain stream socket speaking
// newline-delimited JSON (one request per line, one reply line per request,
// plus streamed sample lines for subscriptions).
//
// One thread serves every client with non-blocking I/O, a few requests of
// each in turn. Transitions are handed to the component's execution context
// and answered when they have taken place; meanwhile that client's further
// requests wait, other clients are served. Samples are queued per client; a
// client that stops reading loses its queued samples (and is told how many)
// instead of ever holding up the execution context.
#ifndef RTM_STANDIN_CONTROL_SERVER_H
#define RTM_STANDIN_CONTROL_SERVER_H

#include <memory>
#include <string>
#include <vector>

namespace rtm_standin {

class ComponentHost;

// What the control endpoint needs from the manager.
class HostDirectory {
 public:
  virtual ~HostDirectory() = default;
  // The running components; they stay valid while the endpoint runs.
  virtual std::vector<ComponentHost*> components() = 0;
  // Starts the manager's shutdown without waiting for it.
  virtual void requestShutdown() = 0;
};

class ControlServer {
 public:
  explicit ControlServer(HostDirectory& directory);
  ~ControlServer();

  // Creates the socket (owner-only permissions) and starts serving. A stale
  // socket file left by a host that is gone is replaced; a socket a running
  // host answers on, or a file that is not a socket, is an error
  // (std::runtime_error with the reason).
  void start(const std::string& path);
  // Tells every client {"event":"shutdown"}, gives what is queued for them
  // at most 200 ms to leave, closes the connections and removes the socket
  // file (if it is still the one this host created).
  void stop();

  ControlServer(const ControlServer&) = delete;
  ControlServer& operator=(const ControlServer&) = delete;

 private:
  class Impl;
  std::unique_ptr<Impl> m_impl;
};

}  // namespace rtm_standin

#endif  // RTM_STANDIN_CONTROL_SERVER_H
