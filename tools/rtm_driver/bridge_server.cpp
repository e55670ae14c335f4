#include "bridge_server.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <set>

namespace tolvarine_driver {

namespace {

// Lines waiting for a client beyond this are samples it loses: at 30 Hz and
// two ports, about a minute of samples.
const std::size_t kMaxQueuedLines = 4096;

bool sendAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

struct BridgeServer::Client {
  explicit Client(int socket) : fd(socket) {}
  ~Client() { ::close(fd); }

  // Queues one line; samples are dropped (and counted) when the client lags.
  void push(const Json& line, bool isSample) {
    std::lock_guard<std::mutex> lock(mutex);
    if (isSample && out.size() >= kMaxQueuedLines) {
      ++dropped;
      return;
    }
    if (isSample && dropped > 0) {
      out.push_back(Json{{"event", "dropped"}, {"samples", dropped}}.dump() + "\n");
      dropped = 0;
    }
    out.push_back(line.dump() + "\n");
    changed.notify_all();
  }

  void writeLoop() {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
      changed.wait(lock, [this] { return !out.empty() || closing; });
      if (out.empty()) {
        return;
      }
      const std::string line = std::move(out.front());
      out.pop_front();
      lock.unlock();
      const bool sent = sendAll(fd, line);
      lock.lock();
      if (!sent) {
        // Gone, or not reading for seconds: the reader ends too.
        out.clear();
        ::shutdown(fd, SHUT_RDWR);
        return;
      }
    }
  }

  const int fd;
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<std::string> out;
  std::uint64_t dropped = 0;
  bool closing = false;   // the writer ends once the queue is empty
  bool finished = false;  // the reader has ended
  std::set<std::string> ports;
  std::thread reader;
  std::thread writer;
};

BridgeServer::BridgeServer(RequestHandler& handler) : m_handler(handler) {}

BridgeServer::~BridgeServer() {
  stop();
}

void BridgeServer::start(const std::string& path) {
  sockaddr_un addr;
  std::memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof addr.sun_path) {
    throw std::runtime_error("control socket path '" + path + "' is empty or too long");
  }
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  struct stat st;
  if (::lstat(path.c_str(), &st) == 0) {
    if (!S_ISSOCK(st.st_mode)) {
      throw std::runtime_error(path + " exists and is not a socket");
    }
    ::unlink(path.c_str());  // left by a driver that is gone
  }
  m_listenFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const mode_t mask = ::umask(077);
  const bool bound =
      m_listenFd >= 0 && ::bind(m_listenFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  ::umask(mask);
  if (!bound || ::listen(m_listenFd, 8) != 0 || ::pipe2(m_wakePipe, O_CLOEXEC) != 0) {
    const std::string why = std::strerror(errno);
    if (m_listenFd >= 0) {
      ::close(m_listenFd);
      m_listenFd = -1;
    }
    throw std::runtime_error("cannot listen on " + path + ": " + why);
  }
  m_path = path;
  m_acceptor = std::thread([this] { acceptLoop(); });
}

void BridgeServer::stop() {
  std::vector<std::shared_ptr<Client>> clients;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_stopped || m_listenFd < 0) {
      m_stopped = true;
      return;
    }
    m_stopped = true;
    clients.swap(m_clients);
  }
  const char wake = 'x';
  ssize_t n = ::write(m_wakePipe[1], &wake, 1);
  (void)n;
  m_acceptor.join();
  for (const std::shared_ptr<Client>& c : clients) {
    c->push(Json{{"event", "shutdown"}}, false);
    {
      std::lock_guard<std::mutex> lock(c->mutex);
      c->closing = true;
      c->changed.notify_all();
    }
    c->writer.join();
    ::shutdown(c->fd, SHUT_RDWR);  // ends the reader's wait
    c->reader.join();
  }
  ::close(m_listenFd);
  ::close(m_wakePipe[0]);
  ::close(m_wakePipe[1]);
  ::unlink(m_path.c_str());
}

void BridgeServer::publish(const std::string& port, const Json& event) {
  std::lock_guard<std::mutex> lock(m_mutex);
  for (const std::shared_ptr<Client>& c : m_clients) {
    bool subscribed;
    {
      std::lock_guard<std::mutex> clientLock(c->mutex);
      subscribed = c->ports.count(port) > 0;
    }
    if (subscribed) {
      c->push(event, true);
    }
  }
}

void BridgeServer::acceptLoop() {
  for (;;) {
    pollfd fds[2] = {{m_listenFd, POLLIN, 0}, {m_wakePipe[0], POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0 && errno != EINTR) {
      return;
    }
    if (fds[1].revents != 0) {
      return;
    }
    if ((fds[0].revents & POLLIN) == 0) {
      continue;
    }
    const int fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      continue;
    }
    reapFinished();
    // A client that reads nothing for this long is let go rather than
    // holding a writer (and the shutdown) up.
    const timeval sendTimeout = {5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &sendTimeout, sizeof sendTimeout);
    std::shared_ptr<Client> client = std::make_shared<Client>(fd);
    std::lock_guard<std::mutex> lock(m_mutex);
    client->writer = std::thread([client] { client->writeLoop(); });
    client->reader = std::thread([this, client] { readLoop(client); });
    m_clients.push_back(client);
  }
}

void BridgeServer::reapFinished() {
  std::vector<std::shared_ptr<Client>> done;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto it = m_clients.begin(); it != m_clients.end();) {
      bool finished;
      {
        std::lock_guard<std::mutex> clientLock((*it)->mutex);
        finished = (*it)->finished;
      }
      if (finished) {
        done.push_back(*it);
        it = m_clients.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (const std::shared_ptr<Client>& c : done) {
    c->reader.join();
    c->writer.join();
  }
}

void BridgeServer::readLoop(const std::shared_ptr<Client>& client) {
  std::string buffer;
  char chunk[4096];
  for (;;) {
    const ssize_t n = ::recv(client->fd, chunk, sizeof chunk, 0);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      break;
    }
    buffer.append(chunk, static_cast<std::size_t>(n));
    std::size_t newline;
    while ((newline = buffer.find('\n')) != std::string::npos) {
      const std::string line = buffer.substr(0, newline);
      buffer.erase(0, newline + 1);
      if (line.find_first_not_of(" \t\r") == std::string::npos) {
        continue;
      }
      const Json request = Json::parse(line, nullptr, false);
      Json reply;
      try {
        if (!request.is_object()) {
          throw RequestError("a request is one JSON object per line");
        }
        reply = answer(*client, request);
        if (!reply.contains("ok")) {
          reply["ok"] = true;
        }
      } catch (const std::exception& e) {
        reply = Json{{"ok", false}, {"error", e.what()}};
      }
      if (request.is_object() && request.contains("id")) {
        reply["id"] = request["id"];
      }
      client->push(reply, false);
    }
  }
  std::lock_guard<std::mutex> lock(client->mutex);
  client->finished = true;
  client->closing = true;
  client->changed.notify_all();
}

Json BridgeServer::answer(Client& client, const Json& request) {
  const std::string cmd = request.value("cmd", "");
  if (cmd != "subscribe" && cmd != "unsubscribe") {
    return m_handler.handle(request);
  }
  const Json ports = request.value("ports", Json::array());
  if (!ports.is_array() || ports.empty()) {
    throw RequestError("\"ports\" must be a list of port names");
  }
  Json names = Json::array();
  std::lock_guard<std::mutex> lock(client.mutex);
  for (const Json& p : ports) {
    if (!p.is_string()) {
      throw RequestError("\"ports\" must be a list of port names");
    }
    const std::string name = m_handler.portName(p.get<std::string>());
    if (cmd == "subscribe") {
      client.ports.insert(name);
    } else {
      client.ports.erase(name);
    }
    names.push_back(name);
  }
  return Json{{cmd == "subscribe" ? "subscribed" : "unsubscribed", names}};
}

}  // namespace tolvarine_driver
