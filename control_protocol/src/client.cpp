#include "tolvarine_control/client.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>
#include <vector>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace tolvarine_control {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

bool fail(std::string* error, const std::string& reason) {
  if (error != nullptr) {
    *error = reason;
  }
  return false;
}

}  // namespace

Client::~Client() {
  close();
}

bool Client::connect(const std::string& path, milliseconds timeout, std::string* error) {
  close();
  sockaddr_un address{};
  if (path.empty() || path.size() >= sizeof address.sun_path) {
    return fail(error, "socket path '" + path + "' is empty or too long for a UNIX socket");
  }
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    // Non-blocking: a host whose queue is full (it does not accept) makes
    // connect() fail with EAGAIN at once instead of blocking without end.
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
      return fail(error, std::string("socket: ") + std::strerror(errno));
    }
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
      m_fd = fd;
      m_buffer.clear();
      m_events.clear();
      return true;
    }
    const int err = errno;
    ::close(fd);
    if (err != EAGAIN || Clock::now() >= deadline || (m_abortCheck && m_abortCheck())) {
      return fail(error, "cannot connect to " + path + ": " +
                             (err == EAGAIN ? std::string("the host accepts no connection")
                                            : std::string(std::strerror(err))));
    }
    std::this_thread::sleep_for(milliseconds(20));
  }
}

void Client::close() {
  if (m_fd >= 0) {
    ::close(m_fd);
    m_fd = -1;
  }
}

bool Client::sendLine(const std::string& text) {
  if (m_fd < 0) {
    return false;
  }
  const std::string line = text + "\n";
  std::size_t sent = 0;
  while (sent < line.size()) {
    const ssize_t n = ::send(m_fd, line.data() + sent, line.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
      pollfd p{m_fd, POLLOUT, 0};
      ::poll(&p, 1, 100);
      if (m_abortCheck && m_abortCheck()) {
        return false;
      }
      continue;
    }
    if (n <= 0) {
      close();
      return false;
    }
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

bool Client::request(Json request, Json& reply, milliseconds timeout, std::string* error) {
  if (m_fd < 0) {
    return fail(error, "not connected");
  }
  const long id = ++m_lastId;
  request["id"] = id;
  // Named in the errors; a "cmd" that is no text is the host's to refuse.
  const auto cmd = request.find("cmd");
  const std::string what =
      cmd != request.end() && cmd->is_string() ? cmd->get<std::string>() : "the request";
  if (!sendLine(request.dump())) {
    return fail(error, "the host went away before " + what + " was sent");
  }
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    Json received;
    switch (readLine(received, deadline)) {
      case Read::kTimeout:
        return fail(error,
                    "no reply to " + what + " within " + std::to_string(timeout.count()) + " ms");
      case Read::kClosed:
        return fail(error, "the host went away before replying to " + what);
      case Read::kAborted:
        return fail(error, "interrupted");
      case Read::kLine:
        break;
    }
    // A reply without an id answers a line the host could not take as a
    // request, or refuses the connection itself.
    if (received.is_object() && received.contains("ok") &&
        (!received.contains("id") || received["id"] == id)) {
      reply = std::move(received);
      return true;
    }
    if (received.is_object() && received.contains("event")) {
      m_events.push_back(std::move(received));
    }
  }
}

Client::Read Client::nextLine(Json& line, milliseconds timeout) {
  if (!m_events.empty()) {
    line = std::move(m_events.front());
    m_events.pop_front();
    return Read::kLine;
  }
  return readLine(line, Clock::now() + timeout);
}

Client::Read Client::nextEvent(Json& event, milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    const auto left = std::max(milliseconds(0),
                               std::chrono::duration_cast<milliseconds>(deadline - Clock::now()));
    const Read r = nextLine(event, left);
    if (r != Read::kLine || !event.is_object() || event.contains("event")) {
      return r;
    }
  }
}

bool Client::pump() {
  Json line;
  Read r;
  while ((r = readLine(line, Clock::now())) == Read::kLine) {
    m_events.push_back(std::move(line));
  }
  return r != Read::kClosed;
}

bool Client::takeBufferedLine(Json& line) {
  const std::size_t end = m_buffer.find('\n');
  if (end == std::string::npos) {
    return false;
  }
  const std::string text = m_buffer.substr(0, end);
  m_buffer.erase(0, end + 1);
  line = Json::parse(text, nullptr, false);
  if (line.is_discarded()) {
    line = Json{{"event", "unreadable"}, {"text", text}};
  }
  return true;
}

Client::Read Client::readLine(Json& line, Clock::time_point deadline) {
  for (;;) {
    if (takeBufferedLine(line)) {
      return Read::kLine;
    }
    if (m_fd < 0) {
      return Read::kClosed;
    }
    if (m_abortCheck && m_abortCheck()) {
      return Read::kAborted;
    }
    const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
    pollfd p{m_fd, POLLIN, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(std::clamp<long long>(left, 0, 100)));
    if (ready < 0 && errno != EINTR) {
      close();
      return Read::kClosed;
    }
    if (ready <= 0) {
      if (left <= 0) {
        return Read::kTimeout;
      }
      continue;
    }
    char chunk[65536];
    const ssize_t n = ::recv(m_fd, chunk, sizeof chunk, 0);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
      continue;
    }
    if (n <= 0) {
      close();  // lines that arrived complete before the end are still delivered
      continue;
    }
    m_buffer.append(chunk, static_cast<std::size_t>(n));
  }
}

std::string defaultControlSocket(std::string* error) {
  if (const char* env = std::getenv("RTM_STANDIN_SOCKET"); env != nullptr && *env != '\0') {
    return env;
  }
  std::vector<std::string> found;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(".", ec)) {
    if (entry.path().extension() == ".sock" && entry.is_socket(ec)) {
      found.push_back("./" + entry.path().filename().string());
    }
  }
  if (found.size() == 1) {
    return found.front();
  }
  std::string list;
  for (const std::string& f : found) {
    list += (list.empty() ? "" : ", ") + f;
  }
  fail(error, found.empty() ? "no control socket (*.sock) in the current folder; name one"
                            : "several control sockets here (" + list + "); name one");
  return std::string();
}

}  // namespace tolvarine_control
