// The driver's control socket: a UNIX-domain stream socket speaking the
// stand-in host's newline-delimited JSON protocol (one request per line, one
// reply line per request, sample events in between), so that the demo, the
// teleoperation tool and the tests reach a component on the real middleware
// the way they reach one on the stand-in.
//
// Each client has a reader thread, which answers its requests in order, and
// a writer thread; samples are queued per client, and a client that stops
// reading loses samples (and is told how many) instead of holding up the
// execution context that publishes them.
#ifndef TOLVARINE_RTM_DRIVER_BRIDGE_SERVER_H
#define TOLVARINE_RTM_DRIVER_BRIDGE_SERVER_H

#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

namespace tolvarine_driver {

using Json = nlohmann::json;

// A refused request; its text becomes the reply's "error".
class RequestError : public std::runtime_error {
 public:
  explicit RequestError(const std::string& what) : std::runtime_error(what) {}
};

class RequestHandler {
 public:
  virtual ~RequestHandler() {}
  // The reply to every request but subscribe and unsubscribe, without "id";
  // "ok" is true unless the reply says otherwise. Throws RequestError to
  // refuse. Runs in the client's thread.
  virtual Json handle(const Json& request) = 0;
  // A port name of a request as the component's own port name: without the
  // "<instance>." the stand-in's protocol allows in front.
  virtual std::string portName(const std::string& name) = 0;
};

class BridgeServer {
 public:
  explicit BridgeServer(RequestHandler& handler);
  ~BridgeServer();

  // Creates the socket (owner-only) and starts serving; a stale socket file
  // is replaced. Throws std::runtime_error with the reason.
  void start(const std::string& path);
  // Tells every client {"event":"shutdown"}, closes the connections and
  // removes the socket file. Waits for requests under way to be answered.
  void stop();

  // `event` (a sample of the component's port `port`) to every client
  // subscribed to that port; never blocks.
  void publish(const std::string& port, const Json& event);

  BridgeServer(const BridgeServer&) = delete;
  BridgeServer& operator=(const BridgeServer&) = delete;

 private:
  struct Client;

  void acceptLoop();
  void readLoop(const std::shared_ptr<Client>& client);
  Json answer(Client& client, const Json& request);
  void reapFinished();

  RequestHandler& m_handler;
  std::string m_path;
  int m_listenFd = -1;
  int m_wakePipe[2] = {-1, -1};
  std::thread m_acceptor;
  std::mutex m_mutex;
  std::vector<std::shared_ptr<Client>> m_clients;
  bool m_stopped = false;
};

}  // namespace tolvarine_driver

#endif  // TOLVARINE_RTM_DRIVER_BRIDGE_SERVER_H
