#include "control_connection.h"

#include <dirent.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace tolvarine_tools {

namespace {

using Clock = std::chrono::steady_clock;

bool isSocket(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISSOCK(info.st_mode);
}

}  // namespace

ControlConnection::~ControlConnection() {
  close();
}

bool ControlConnection::connect(const std::string& path, std::string* error) {
  close();
  sockaddr_un address{};
  if (path.empty() || path.size() >= sizeof address.sun_path) {
    if (error != nullptr) {
      *error = "socket path '" + path + "' is empty or too long for a UNIX socket";
    }
    return false;
  }
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    if (error != nullptr) {
      *error = std::string("socket: ") + std::strerror(errno);
    }
    return false;
  }
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    if (error != nullptr) {
      *error = "cannot connect to " + path + ": " + std::strerror(errno);
    }
    ::close(fd);
    return false;
  }
  fd_ = fd;
  buffer_.clear();
  events_.clear();
  return true;
}

void ControlConnection::close() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

bool ControlConnection::request(const Json& request, Json& reply, std::chrono::milliseconds timeout,
                                std::string* error) {
  auto fail = [error](const std::string& reason) {
    if (error != nullptr) {
      *error = reason;
    }
    return false;
  };
  if (fd_ < 0) {
    return fail("not connected");
  }
  const std::string line = request.dump() + "\n";
  std::size_t sent = 0;
  while (sent < line.size()) {
    const ssize_t n = ::send(fd_, line.data() + sent, line.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      close();
      return fail(std::string("the host went away (") + std::strerror(errno) + ")");
    }
    sent += static_cast<std::size_t>(n);
  }
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    Json received;
    switch (readLine(received, deadline)) {
      case Read::kTimeout:
        return fail("no reply to " + request.value("cmd", std::string("the request")) + " within " +
                    std::to_string(timeout.count()) + " ms");
      case Read::kClosed:
        return fail("the host went away");
      case Read::kAborted:
        return fail("interrupted");
      case Read::kLine:
        break;
    }
    if (received.is_object() && received.contains("event")) {
      events_.push_back(std::move(received));
      continue;
    }
    reply = std::move(received);
    return true;
  }
}

ControlConnection::Read ControlConnection::nextEvent(Json& event,
                                                     std::chrono::milliseconds timeout) {
  if (!events_.empty()) {
    event = std::move(events_.front());
    events_.pop_front();
    return Read::kLine;
  }
  return readLine(event, Clock::now() + timeout);
}

bool ControlConnection::pump() {
  if (fd_ < 0) {
    return false;
  }
  Json line;
  for (;;) {
    const Read r = readLine(line, Clock::now());
    if (r == Read::kClosed) {
      return false;
    }
    if (r != Read::kLine) {
      return true;
    }
    events_.push_back(std::move(line));
  }
}

bool ControlConnection::takeBufferedLine(Json& line) {
  for (;;) {
    const std::size_t end = buffer_.find('\n');
    if (end == std::string::npos) {
      return false;
    }
    const std::string text = buffer_.substr(0, end);
    buffer_.erase(0, end + 1);
    if (text.empty()) {
      continue;
    }
    line = Json::parse(text, nullptr, false);
    if (line.is_discarded()) {
      line = Json{{"event", "unreadable"}, {"text", text}};
    }
    return true;
  }
}

ControlConnection::Read ControlConnection::readLine(Json& line, Clock::time_point deadline) {
  for (;;) {
    if (takeBufferedLine(line)) {
      return Read::kLine;
    }
    if (fd_ < 0) {
      return Read::kClosed;
    }
    if (abortCheck_ && abortCheck_()) {
      return Read::kAborted;
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    pollfd p{fd_, POLLIN, 0};
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
    char chunk[4096];
    const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
      continue;
    }
    if (n <= 0) {
      close();
      // Lines that arrived complete before the end are still delivered.
      return takeBufferedLine(line) ? Read::kLine : Read::kClosed;
    }
    buffer_.append(chunk, static_cast<std::size_t>(n));
  }
}

std::string defaultControlSocket(std::string* error) {
  if (const char* env = std::getenv("RTM_STANDIN_SOCKET"); env != nullptr && *env != '\0') {
    return env;
  }
  std::vector<std::string> found;
  if (DIR* dir = ::opendir(".")) {
    while (const dirent* entry = ::readdir(dir)) {
      const std::string name = entry->d_name;
      if (name.size() > 5 && name.compare(name.size() - 5, 5, ".sock") == 0 && isSocket(name)) {
        found.push_back("./" + name);
      }
    }
    ::closedir(dir);
  }
  if (found.size() == 1) {
    return found.front();
  }
  if (error != nullptr) {
    *error = found.empty() ? "no *.sock socket in the current folder; name one with --socket"
                           : "several *.sock sockets in the current folder; name one with --socket";
  }
  return std::string();
}

}  // namespace tolvarine_tools
