// One client of the control server: its socket, the request it has not had
// answered yet, and the lines queued for it. Reads, writes and requests run
// in the server's socket thread; answers and events may come from any
// thread and are queued under the session's lock.
#ifndef TOLVARINE_CONTROL_SESSION_H
#define TOLVARINE_CONTROL_SESSION_H

#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include <boost/asio/local/stream_protocol.hpp>

#include "tolvarine_control/server.h"

namespace tolvarine_control {

namespace asio = boost::asio;
using Local = asio::local::stream_protocol;
using boost::system::error_code;

std::string dumpLine(const Json& value);
// {"ok":false,"error":why}, for a line that is no request or a connection
// that is refused.
std::string refusal(const std::string& why);

class Session;

// What a session needs from its server.
class SessionOwner {
 public:
  virtual ~SessionOwner() = default;
  virtual void dispatch(const Request& request) = 0;
  // The session has ended (socket thread).
  virtual void forget(const Session* session) = 0;
};

class Session : public std::enable_shared_from_this<Session> {
 public:
  Session(SessionOwner& owner, Local::socket socket, const ServerLimits& limits)
      : m_server(owner), m_socket(std::move(socket)), m_limits(limits) {}

  // ---- any thread ----
  void answer(const std::string& line);
  // Queues `event` if the client is subscribed to `topic`, dumping it into
  // `line` first when that is still empty. Under the session's lock, so
  // that once unsubscribe() returns nothing more of that topic is queued:
  // no sample follows the reply.
  void publish(const std::string& topic, const Json& event, std::string& line);
  // `f` on the client's subscriptions, under the session's lock.
  template <typename F>
  auto withTopics(F f) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return f(m_topics);
  }

  // ---- socket thread ----
  void start() { resume(); }
  // The last line, then the connection closes once it has left.
  void finish(const std::string& line);
  void abort();

 private:
  struct Outgoing {
    std::string text;
    bool reply;
    unsigned long samples;  // 1 for a sample, N for a notice of N dropped
  };

  void queueLocked(const std::string& line, bool reply, unsigned long samples);
  // The client is not keeping up: forget its queued samples (never the
  // replies, nor what is being sent) and queue one notice of how many.
  void dropSamplesLocked();
  void onScheduled();
  // Reading waits while a request is unanswered or replies pile up unread;
  // once the client has ended its input, the connection closes when the
  // last reply has left.
  void resume();
  void onRead(const error_code& ec, std::size_t n);
  void handleLine(std::string line);
  void flush();
  void drop();

  SessionOwner& m_server;
  Local::socket m_socket;
  const ServerLimits& m_limits;

  // Socket thread only.
  std::string m_input;
  bool m_discarding = false;  // skipping the rest of an over-long line
  bool m_inputClosed = false;
  bool m_reading = false;
  std::string m_inFlight;

  // Shared with the threads that answer and publish.
  std::mutex m_mutex;
  std::deque<Outgoing> m_out;
  std::size_t m_sampleBytes = 0;
  std::size_t m_replyBytes = 0;
  std::set<std::string> m_topics;
  bool m_awaiting = false;  // a request is not answered yet
  bool m_scheduled = false;
  bool m_writing = false;
  bool m_finishing = false;
  bool m_closed = false;
};

}  // namespace tolvarine_control

#endif  // TOLVARINE_CONTROL_SESSION_H
