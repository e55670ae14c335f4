#include "control_client.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <stdexcept>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace test_support {

ControlClient::ControlClient(const std::string& socketPath) {
  std::string error;
  if (!m_connection.connect(socketPath, kPatience, &error) ||
      (m_sendFd = ::dup(m_connection.fd())) < 0) {
    throw std::runtime_error("cannot connect to " + socketPath + ": " + error);
  }
  m_reader = std::thread([this] { readLoop(); });
}

ControlClient::~ControlClient() {
  m_stop = true;
  m_reader.join();
  ::close(m_sendFd);
}

void ControlClient::readLoop() {
  using Read = tolvarine_control::Client::Read;
  m_connection.setAbortCheck([this] { return m_stop.load(); });
  for (;;) {
    json line;
    const Read r = m_connection.nextLine(line, kPatience);
    if (r == Read::kTimeout) {
      continue;
    }
    if (r != Read::kLine) {
      break;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    if (line.is_object() && line.contains("id") && !line.contains("event")) {
      m_replies.push_back(std::move(line));
    } else {
      m_events.push_back(Event{Clock::now(), std::move(line)});
    }
    m_changed.notify_all();
  }
  std::lock_guard<std::mutex> lock(m_mutex);
  m_closed = true;
  m_changed.notify_all();
}

bool ControlClient::sendLine(const std::string& text) {
  const std::string line = text + "\n";
  // The descriptor shares the connection's non-blocking mode.
  for (std::size_t sent = 0; sent < line.size();) {
    const ssize_t n = ::send(m_sendFd, line.data() + sent, line.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EAGAIN) {
      pollfd p{m_sendFd, POLLOUT, 0};
      ::poll(&p, 1, 100);
      continue;
    }
    if (n <= 0) {
      return false;
    }
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

std::optional<json> ControlClient::tryRequest(json request, std::chrono::milliseconds timeout) {
  const int id = m_nextId++;
  request["id"] = id;
  if (!sendLine(request.dump())) {
    return std::nullopt;
  }
  std::unique_lock<std::mutex> lock(m_mutex);
  std::optional<json> reply;
  m_changed.wait_for(lock, timeout, [&] {
    for (auto it = m_replies.begin(); it != m_replies.end(); ++it) {
      if ((*it)["id"] == id) {
        reply = std::move(*it);
        m_replies.erase(it);
        return true;
      }
    }
    return m_closed;
  });
  return reply;
}

json ControlClient::request(json request, std::chrono::milliseconds timeout) {
  const std::string text = request.dump();
  const std::optional<json> reply = tryRequest(std::move(request), timeout);
  EXPECT_TRUE(reply.has_value()) << "no reply to " << text;
  return reply.value_or(json::object());
}

std::vector<ControlClient::Event> ControlClient::events() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_events;
}

bool ControlClient::waitForEvents(const std::function<bool(const std::vector<Event>&)>& condition,
                                  std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(m_mutex);
  return m_changed.wait_for(lock, timeout, [&] { return condition(m_events); });
}

std::optional<json> ControlClient::next(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(m_mutex);
  m_changed.wait_for(lock, timeout, [&] { return m_taken < m_events.size() || m_closed; });
  if (m_taken == m_events.size()) {
    return std::nullopt;
  }
  return m_events[m_taken++].body;
}

std::optional<json> ControlClient::nextSample(const std::string& port,
                                              std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  for (std::optional<json> line; (line = next(std::chrono::duration_cast<std::chrono::milliseconds>(
                                      deadline - Clock::now())));) {
    if (line->value("event", "") == "sample" && line->value("port", "") == port) {
      return (*line)["sample"];
    }
  }
  return std::nullopt;
}

bool ControlClient::closed() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_closed;
}

bool waitForSocket(const std::string& socketPath, std::chrono::milliseconds timeout) {
  return eventually(
      [&] {
        tolvarine_control::Client probe;
        return probe.connect(socketPath, std::chrono::milliseconds(0), nullptr);
      },
      timeout);
}

std::vector<json> samplesOf(const std::vector<ControlClient::Event>& events,
                            const std::string& port) {
  std::vector<json> samples;
  for (const ControlClient::Event& e : events) {
    if (e.body.value("event", "") == "sample" && e.body.value("port", "") == port) {
      samples.push_back(e.body.at("sample"));
    }
  }
  return samples;
}

}  // namespace test_support
