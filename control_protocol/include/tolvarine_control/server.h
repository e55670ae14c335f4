// The server side of the control protocol: newline-delimited JSON on a
// UNIX-domain stream socket. One request object per line, one reply line per
// request and in order, events (samples of subscribed topics, notices) in
// between. C++14, so that components built against OpenRTM-aist can serve it.
//
// One thread runs the sockets. A client's next request is read only once its
// previous one is answered, so a handler may answer later from any thread
// (a transition that takes place in an execution context) and the replies
// still come in order. Reads stop at the line cap whether or not the line has
// ended; a client that stops reading loses its queued samples (and is told
// how many), never its replies, and never holds up whoever publishes.
#ifndef TOLVARINE_CONTROL_SERVER_H
#define TOLVARINE_CONTROL_SERVER_H

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace tolvarine_control {

using Json = nlohmann::ordered_json;

// A request that cannot be carried out; its text becomes the reply's "error".
class RequestError : public std::runtime_error {
 public:
  explicit RequestError(const std::string& what) : std::runtime_error(what) {}
};

class Session;

// One request of one client; copies share it. Answer it exactly once (later
// answers are ignored), from any thread.
class Request {
 public:
  Request(std::shared_ptr<Session> session, Json body);

  const Json& body() const;
  // "cmd", or empty.
  std::string command() const;
  // {"id":...,"ok":true, fields...}
  void succeed(const Json& fields = Json::object()) const;
  // {"id":...,"ok":false,"error":message, fields...}
  void fail(const std::string& message, const Json& fields = Json::object()) const;

  // The sending client's subscriptions: it receives every later event
  // published under these topics.
  void subscribe(const std::string& topic) const;
  void unsubscribe(const std::string& topic) const;
  std::vector<std::string> subscriptions() const;

 private:
  void answer(bool ok, const std::string& error, const Json& fields) const;

  struct State;
  std::shared_ptr<State> m_state;
};

class RequestHandler {
 public:
  virtual ~RequestHandler() {}
  // Answers `request` now or later. A RequestError (or another
  // std::exception) thrown before answering answers it with its text.
  virtual void handle(const Request& request) = 0;
};

struct ServerLimits {
  std::size_t maxLine = 1 << 20;               // bytes of one request
  std::size_t maxClients = 32;                 // connected at once; more are refused
  std::size_t sampleBacklog = 256 * 1024;      // queued event bytes per client
  std::size_t replyBacklog = 4 * 1024 * 1024;  // unread replies before reading pauses
  std::size_t handlerThreads = 0;              // 0: handlers run in the socket thread
  std::chrono::milliseconds finalFlush{200};   // for the last lines at close()
  std::chrono::milliseconds acceptRetry{100};  // after running out of descriptors
};

class Server {
 public:
  explicit Server(RequestHandler& handler, const ServerLimits& limits = ServerLimits());
  // close(), then the socket thread (and the signal handlers) end.
  ~Server();

  // SIGINT and SIGTERM run `onSignal` (in the socket thread) instead of
  // ending the process, until the server is destroyed.
  void catchSignals(std::function<void(int)> onSignal);
  // Creates the socket (owner-only) and starts serving it. A stale socket
  // file left by a process that is gone is replaced; one a running server
  // answers on, or a file that is not a socket, is an error
  // (std::runtime_error with the reason). True when a stale file was replaced.
  bool listen(const std::string& path);
  // Tells every client {"event":"shutdown"}, gives what is queued for them
  // `finalFlush` to leave, closes the connections and removes the socket
  // file (if it is still the one created here). Not from a handler.
  void close();

  // `event` to every client subscribed to `topic`; any thread, never blocks.
  void publish(const std::string& topic, const Json& event);
  bool hasSubscribers(const std::string& topic) const;
  std::size_t clientCount() const;

  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

 private:
  struct Impl;
  std::unique_ptr<Impl> m_impl;
};

}  // namespace tolvarine_control

#endif  // TOLVARINE_CONTROL_SERVER_H
