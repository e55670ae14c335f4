// A test's connection to a host's control socket. A reader thread sorts
// what arrives: replies go to the requests that wait for them (by "id"),
// every other line (samples, notices, answers to lines sent as they are)
// is kept with its arrival time, for a look at all of them or to be taken
// one by one. Requests go out on a descriptor of their own.
#ifndef TOLVARINE_TESTS_SUPPORT_CONTROL_CLIENT_H
#define TOLVARINE_TESTS_SUPPORT_CONTROL_CLIENT_H

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <tolvarine_control/client.h>

#include "test_support.h"

namespace test_support {

using json = tolvarine_control::Json;

class ControlClient {
 public:
  struct Event {
    Clock::time_point at;
    json body;
  };
  // Throws std::runtime_error when nothing accepts at `socketPath`.
  explicit ControlClient(const std::string& socketPath);
  ~ControlClient();

  // Sends `request` with a fresh "id"; its reply, or nothing when none came
  // within `timeout` or the host went away.
  std::optional<json> tryRequest(json request, std::chrono::milliseconds timeout = kPatience);
  // The same, failing the test when no reply comes.
  json request(json request, std::chrono::milliseconds timeout = kPatience);
  // Sends `line` as it is, with a line end; false when the host is gone.
  bool sendLine(const std::string& line);

  // The lines that answer no request of ours, in arrival order.
  std::vector<Event> events() const;
  bool waitForEvents(const std::function<bool(const std::vector<Event>&)>& condition,
                     std::chrono::milliseconds timeout = kPatience) const;
  // The next of those lines not taken yet (of `port`'s samples only, when
  // named), or nothing when none comes within `timeout` or the host has
  // closed the connection.
  std::optional<json> next(std::chrono::milliseconds timeout = kPatience);
  std::optional<json> nextSample(const std::string& port,
                                 std::chrono::milliseconds timeout = kPatience);
  // True once the host has closed the connection.
  bool closed() const;

 private:
  void readLoop();
  tolvarine_control::Client m_connection;
  int m_sendFd = -1;
  int m_nextId = 1;
  std::size_t m_taken = 0;
  std::atomic<bool> m_stop{false};
  mutable std::mutex m_mutex;
  mutable std::condition_variable m_changed;
  std::vector<json> m_replies;
  std::vector<Event> m_events;
  bool m_closed = false;
  std::thread m_reader;
};

// Waits until something accepts connections at `socketPath`.
bool waitForSocket(const std::string& socketPath, std::chrono::milliseconds timeout = kPatience);
// The samples of `port` among `events`.
std::vector<json> samplesOf(const std::vector<ControlClient::Event>& events,
                            const std::string& port);

}  // namespace test_support

#endif  // TOLVARINE_TESTS_SUPPORT_CONTROL_CLIENT_H
