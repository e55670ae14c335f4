// A client connection to the control socket of a component host: one JSON
// request per line, one reply line per request, sample events in between.
#ifndef TOLVARINE_TOOLS_CONTROL_CONNECTION_H
#define TOLVARINE_TOOLS_CONTROL_CONNECTION_H

#include <chrono>
#include <deque>
#include <functional>
#include <string>

#include <nlohmann/json.hpp>

namespace tolvarine_tools {

using Json = nlohmann::json;

class ControlConnection {
 public:
  enum class Read { kLine, kTimeout, kClosed, kAborted };

  ControlConnection() = default;
  ~ControlConnection();
  ControlConnection(const ControlConnection&) = delete;
  ControlConnection& operator=(const ControlConnection&) = delete;

  // False with a reason when nothing listens at `path` (or it is not a socket).
  bool connect(const std::string& path, std::string* error);
  void close();
  bool isOpen() const { return fd_ >= 0; }
  // The descriptor to poll for readable input (-1 when closed).
  int fd() const { return fd_; }
  // Waits give up (kAborted, or false from request) as soon as `check`
  // returns true; it is asked at least every 100 ms.
  void setAbortCheck(std::function<bool()> check) { abortCheck_ = std::move(check); }

  // Sends `request` and waits for its reply; events that arrive first are
  // kept for nextEvent(). False with a reason on a time-out or a lost host;
  // a refused request is a reply with "ok": false and returns true.
  bool request(const Json& request, Json& reply, std::chrono::milliseconds timeout,
               std::string* error);

  // The next event line (kept ones first). kTimeout when none came in time,
  // kClosed when the host has gone, kAborted when the abort check said so.
  Read nextEvent(Json& event, std::chrono::milliseconds timeout);

  // Reads whatever the socket holds now without blocking; complete event
  // lines are kept for nextEvent(). False once the host has gone.
  bool pump();

 private:
  Read readLine(Json& line, std::chrono::steady_clock::time_point deadline);
  bool takeBufferedLine(Json& line);

  int fd_ = -1;
  std::string buffer_;
  std::deque<Json> events_;
  std::function<bool()> abortCheck_;
};

// The socket a client should use when none is named: $RTM_STANDIN_SOCKET,
// else the only *.sock socket in the current folder. Empty with a reason
// when there is no such socket or several.
std::string defaultControlSocket(std::string* error);

}  // namespace tolvarine_tools

#endif  // TOLVARINE_TOOLS_CONTROL_CONNECTION_H
