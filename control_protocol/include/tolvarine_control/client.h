// The client side of the control protocol: requests and their replies,
// events (samples, notices) kept in arrival order. Every wait has a deadline
// and an optional abort check, so a host that is wedged or gone ends in a
// clear error, never a hang.
#ifndef TOLVARINE_CONTROL_CLIENT_H
#define TOLVARINE_CONTROL_CLIENT_H

#include <chrono>
#include <deque>
#include <functional>
#include <string>

#include <nlohmann/json.hpp>

namespace tolvarine_control {

using Json = nlohmann::ordered_json;

class Client {
 public:
  enum class Read { kLine, kTimeout, kClosed, kAborted };

  Client() = default;
  ~Client();
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  // False with a reason when nothing listens at `path`, or when its queue
  // stays full for `timeout` (a host that does not accept).
  bool connect(const std::string& path, std::chrono::milliseconds timeout, std::string* error);
  void close();
  bool isOpen() const { return m_fd >= 0; }
  // The descriptor to poll for readable input (-1 when closed).
  int fd() const { return m_fd; }
  // Waits give up (kAborted, or false from request) as soon as `check`
  // returns true; it is asked at least every 100 ms.
  void setAbortCheck(std::function<bool()> check) { m_abortCheck = std::move(check); }

  // Sends `request` with a fresh "id" and waits for its reply; events that
  // arrive first are kept for nextEvent(). False with a reason on a time-out
  // or a lost host; a refused request is a reply with "ok": false and
  // returns true.
  bool request(Json request, Json& reply, std::chrono::milliseconds timeout, std::string* error);
  // Sends one line as it is (a line end is added); false when the host is gone.
  bool sendLine(const std::string& line);

  // The next line of any kind (kept events first).
  Read nextLine(Json& line, std::chrono::milliseconds timeout);
  // The next event line (kept ones first), skipping replies.
  Read nextEvent(Json& event, std::chrono::milliseconds timeout);
  // Reads whatever the socket holds now without blocking; complete event
  // lines are kept for nextEvent(). False once the host has gone.
  bool pump();

 private:
  Read readLine(Json& line, std::chrono::steady_clock::time_point deadline);
  bool takeBufferedLine(Json& line);

  int m_fd = -1;
  long m_lastId = 0;
  std::string m_buffer;
  std::deque<Json> m_events;
  std::function<bool()> m_abortCheck;
};

// The socket a client should use when none is named: $RTM_STANDIN_SOCKET,
// else the only *.sock socket in the current folder. Empty with a reason
// when there is no such socket or several.
std::string defaultControlSocket(std::string* error);

}  // namespace tolvarine_control

#endif  // TOLVARINE_CONTROL_CLIENT_H
