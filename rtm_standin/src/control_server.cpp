#include "control_server.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "component_host.h"
#include "data_port.h"
#include "host_log.h"
#include "sample_json.h"

namespace rtm_standin {

namespace {

using json = nlohmann::ordered_json;

constexpr std::size_t kMaxLine = 1 << 20;                  // one request
constexpr std::size_t kMaxSampleBacklog = 256 * 1024;      // queued sample lines per client
constexpr std::size_t kMaxReplyBacklog = 4 * 1024 * 1024;  // before reading pauses
constexpr std::size_t kMaxInput = 2 * kMaxLine;            // read, not yet handled
// Requests of one client handled before the others get their turn, so that
// a client sending requests in bulk does not keep the rest waiting.
constexpr int kRequestsPerTurn = 32;
constexpr auto kFinalFlush = std::chrono::milliseconds(200);

std::string dumpLine(const json& value) {
  return value.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
}

std::string systemError(const std::string& what) {
  return what + ": " + std::strerror(errno);
}

// Wakes the server thread from other threads (coalesced).
class Waker {
 public:
  Waker() {
    if (::pipe2(m_fds, O_NONBLOCK | O_CLOEXEC) != 0) {
      throw std::runtime_error(systemError("cannot create the control endpoint's pipe"));
    }
  }
  ~Waker() {
    ::close(m_fds[0]);
    ::close(m_fds[1]);
  }
  void wake() {
    if (!m_pending.exchange(true)) {
      char c = 1;
      ssize_t n = ::write(m_fds[1], &c, 1);
      (void)n;  // a full pipe already wakes the server
    }
  }
  // Empties the pipe first, then lets wake() write again: the other way
  // round, a wake() in between would leave the flag set with nothing in the
  // pipe, and every later wake() would be dropped. A wake() after the read
  // but before the flag is cleared is not lost either: the server looks at
  // every client after draining.
  void drain() {
    char buf[64];
    while (::read(m_fds[0], buf, sizeof buf) > 0) {
    }
    m_pending.store(false);
  }
  int fd() const { return m_fds[0]; }

  Waker(const Waker&) = delete;
  Waker& operator=(const Waker&) = delete;

 private:
  int m_fds[2];
  std::atomic<bool> m_pending{false};
};

struct Outgoing {
  enum class Kind { Reply, Sample, Notice };
  std::string text;
  Kind kind;
  unsigned long lost = 0;  // samples a notice reports
};

struct Client {
  explicit Client(int socket) : fd(socket) {}
  ~Client() {
    if (fd >= 0) {
      ::close(fd);
    }
  }

  // Server thread only.
  int fd;
  std::string input;
  bool discarding = false;  // skipping the rest of an over-long line
  bool inputClosed = false;
  std::vector<std::string> subscriptions;

  // Shared with the execution contexts.
  std::mutex mutex;
  std::deque<Outgoing> out;
  std::size_t offset = 0;  // bytes of out.front() already sent
  std::size_t sampleBytes = 0;
  std::size_t replyBytes = 0;
  bool closed = false;
  bool busy = false;  // a transition is under way; further requests wait

  void pushReply(const json& reply, Waker& waker) {
    std::string line = dumpLine(reply);
    std::lock_guard<std::mutex> lock(mutex);
    if (closed) {
      return;
    }
    const bool wasEmpty = out.empty();
    replyBytes += line.size();
    out.push_back({std::move(line), Outgoing::Kind::Reply});
    if (wasEmpty) {
      waker.wake();
    }
  }

  void pushSample(const std::string& line, Waker& waker) {
    std::lock_guard<std::mutex> lock(mutex);
    if (closed) {
      return;
    }
    const bool wasEmpty = out.empty();
    if (sampleBytes + line.size() > kMaxSampleBacklog) {
      dropSamples();
    }
    sampleBytes += line.size();
    out.push_back({line, Outgoing::Kind::Sample});
    if (wasEmpty) {
      waker.wake();
    }
  }

  // The client is not keeping up: forget its queued samples (never the
  // replies, nor a line half sent) and queue one notice of how many it lost.
  void dropSamples() {
    unsigned long lost = 0;
    std::deque<Outgoing> kept;
    for (std::size_t i = 0; i < out.size(); ++i) {
      Outgoing& o = out[i];
      if (o.kind == Outgoing::Kind::Reply || (i == 0 && offset > 0)) {
        kept.push_back(std::move(o));
        continue;
      }
      lost += o.kind == Outgoing::Kind::Sample ? 1 : o.lost;
      sampleBytes -= o.text.size();
    }
    out.swap(kept);
    std::string notice = dumpLine(json{{"event", "dropped"}, {"samples", lost}});
    sampleBytes += notice.size();
    out.push_back({std::move(notice), Outgoing::Kind::Notice, lost});
  }

  bool hasOutput() {
    std::lock_guard<std::mutex> lock(mutex);
    return !out.empty();
  }

  bool isBusy() {
    std::lock_guard<std::mutex> lock(mutex);
    return busy;
  }

  bool readPaused() {
    std::lock_guard<std::mutex> lock(mutex);
    return busy || replyBytes >= kMaxReplyBacklog;
  }

  // Sends what the socket takes; false when the connection is gone.
  bool flush() {
    std::lock_guard<std::mutex> lock(mutex);
    while (!out.empty()) {
      Outgoing& o = out.front();
      ssize_t n =
          ::send(fd, o.text.data() + offset, o.text.size() - offset, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n < 0) {
        if (errno == EINTR) {
          continue;
        }
        return errno == EAGAIN || errno == EWOULDBLOCK;
      }
      offset += static_cast<std::size_t>(n);
      if (offset == o.text.size()) {
        (o.kind == Outgoing::Kind::Reply ? replyBytes : sampleBytes) -= o.text.size();
        out.pop_front();
        offset = 0;
      }
    }
    return true;
  }

  void close() {
    std::lock_guard<std::mutex> lock(mutex);
    closed = true;
    out.clear();
  }
};

// Listens on one out-port and copies every sample to the clients
// subscribed to it, converted to JSON once.
class PortTap : public SampleListener {
 public:
  PortTap(std::string instance, std::string port, std::shared_ptr<const TypeSchema> schema,
          std::shared_ptr<Waker> waker)
      : m_instance(std::move(instance)),
        m_port(std::move(port)),
        m_schema(std::move(schema)),
        m_waker(std::move(waker)) {}

  void onSample(cdrMemoryStream& sample) override {
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      if (m_clients.empty()) {
        return;
      }
    }
    json event = json::object();
    event["event"] = "sample";
    event["component"] = m_instance;
    event["port"] = m_port;
    event["sample"] = sampleToJson(*m_schema, sample);
    const std::string line = dumpLine(event);
    // Pushing under the lock: once remove() returns, that client gets no
    // more samples from this port, so nothing follows an unsubscribe reply.
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const auto& weak : m_clients) {
      if (auto client = weak.lock()) {
        client->pushSample(line, *m_waker);
      }
    }
  }

  void add(const std::shared_ptr<Client>& client) {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const auto& weak : m_clients) {
      if (weak.lock() == client) {
        return;
      }
    }
    m_clients.push_back(client);
  }

  // True when no client is left.
  bool remove(const Client* client) {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<std::weak_ptr<Client>> kept;
    for (const auto& weak : m_clients) {
      auto c = weak.lock();
      if (c && c.get() != client) {
        kept.push_back(weak);
      }
    }
    m_clients.swap(kept);
    return m_clients.empty();
  }

 private:
  const std::string m_instance;
  const std::string m_port;
  const std::shared_ptr<const TypeSchema> m_schema;
  const std::shared_ptr<Waker> m_waker;
  std::mutex m_mutex;
  std::vector<std::weak_ptr<Client>> m_clients;
};

// A request that cannot be carried out; the message goes to the client.
class RequestError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

const char* const kCommandHelp[] = {
    R"({"cmd":"list"}  components with their state, rate and ports)",
    R"({"cmd":"activate"|"deactivate"|"reset", "component":NAME}  replies once the transition took place)",
    R"({"cmd":"get", "component":NAME, "key":PARAM}  configuration (all parameters without "key"))",
    R"({"cmd":"set", "component":NAME, "key":PARAM, "value":TEXT}  applies after the current cycle, or at the next activation)",
    R"({"cmd":"write", "port":PORT, "sample":{...}}  one sample to an in-port, fields by name ("tm" optional))",
    R"({"cmd":"subscribe", "ports":[PORT,...]}  every sample written to these out-ports streams as {"event":"sample",...})",
    R"({"cmd":"unsubscribe", "ports":[PORT,...]}  (all without "ports"))",
    R"({"cmd":"shutdown"}  shuts the host down)",
    R"("component" may be left out when one component runs; PORT is "Instance.Port" or a unique port name; "id" is echoed in the reply)",
};

}  // namespace

class ControlServer::Impl {
 public:
  explicit Impl(HostDirectory& directory) : m_directory(directory) {}

  ~Impl() { stop(); }

  void start(const std::string& path) {
    m_waker = std::make_shared<Waker>();
    m_listen = openSocket(path);
    m_thread = std::thread([this] { run(); });
  }

  void stop() {
    if (!m_thread.joinable()) {
      return;
    }
    m_stop.store(true);
    m_waker->wake();
    m_thread.join();
    for (auto& entry : m_taps) {
      DataPortAccess::core(*entry.second.port).removeListener(entry.second.tap);
    }
    m_taps.clear();
    ::close(m_listen);
    m_listen = -1;
    struct stat st;
    if (::stat(m_absolutePath.c_str(), &st) == 0 && st.st_dev == m_socketDev &&
        st.st_ino == m_socketIno) {
      ::unlink(m_absolutePath.c_str());
    }
    hostLog("closed the control socket " + m_path);
  }

 private:
  struct TapEntry {
    RTC::OutPortBase* port;
    std::shared_ptr<PortTap> tap;
  };

  struct PortRef {
    ComponentHost* host = nullptr;
    RTC::InPortBase* in = nullptr;
    RTC::OutPortBase* out = nullptr;
    std::string key;  // Instance.Port
  };

  // ---- socket --------------------------------------------------------------

  int openSocket(const std::string& path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof addr.sun_path) {
      throw std::runtime_error("control socket path \"" + path + "\" is empty or longer than " +
                               std::to_string(sizeof addr.sun_path - 1) + " bytes");
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);

    struct stat st;
    if (::lstat(path.c_str(), &st) == 0) {
      if (!S_ISSOCK(st.st_mode)) {
        throw std::runtime_error("control socket path " + path +
                                 " exists and is not a socket; remove it or choose another "
                                 "path (manager.standin.control_socket)");
      }
      int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
      if (probe < 0) {
        throw std::runtime_error(systemError("cannot create a socket"));
      }
      int rc = ::connect(probe, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
      int err = errno;
      ::close(probe);
      if (rc == 0) {
        throw std::runtime_error("control socket " + path +
                                 " is in use by a running host; stop it or choose another "
                                 "path (manager.standin.control_socket)");
      }
      if (err != ECONNREFUSED) {
        errno = err;
        throw std::runtime_error(systemError("cannot check control socket " + path));
      }
      if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
        throw std::runtime_error(systemError("cannot remove stale control socket " + path));
      }
      hostLog("replaced the stale control socket " + path);
    }

    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
      throw std::runtime_error(systemError("cannot create a socket"));
    }
    // On Linux the file takes the socket's mode at bind(); the chmod below
    // covers systems that ignore it.
    ::fchmod(fd, S_IRUSR | S_IWUSR);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      int err = errno;
      ::close(fd);
      errno = err;
      if (err == EADDRINUSE) {
        throw std::runtime_error("control socket " + path + " is in use by another host");
      }
      throw std::runtime_error(systemError("cannot create control socket " + path));
    }
    if (::chmod(path.c_str(), S_IRUSR | S_IWUSR) != 0 || ::listen(fd, 16) != 0 ||
        ::stat(path.c_str(), &st) != 0) {
      int err = errno;
      ::close(fd);
      ::unlink(path.c_str());
      errno = err;
      throw std::runtime_error(systemError("cannot set up control socket " + path));
    }
    m_socketDev = st.st_dev;
    m_socketIno = st.st_ino;
    m_path = path;
    m_absolutePath = path;
    if (path[0] != '/') {
      char cwd[4096];
      if (::getcwd(cwd, sizeof cwd) != nullptr) {
        m_absolutePath = std::string(cwd) + "/" + path;
      }
    }
    return fd;
  }

  // ---- serving ---------------------------------------------------------------

  void run() {
    markHostThread();
    while (!m_stop.load()) {
      std::vector<pollfd> fds;
      fds.push_back({m_waker->fd(), POLLIN, 0});
      fds.push_back({m_listen, POLLIN, 0});
      int timeout = -1;
      for (const auto& c : m_clients) {
        short events = 0;
        // Reads only once what was read is handled, so a client sending in
        // bulk is held back by its own socket, not by the host's memory.
        if (!c->readPaused()) {
          if (hasRequest(*c)) {
            timeout = 0;  // requests left over from its last turn
          } else if (!c->inputClosed) {
            events |= POLLIN;
          }
        }
        if (c->hasOutput()) {
          events |= POLLOUT;
        }
        // A closed connection with nothing to send would report POLLHUP at
        // once on every turn, spinning while its transition is under way.
        fds.push_back({events == 0 && c->inputClosed ? -1 : c->fd, events, 0});
      }
      if (::poll(fds.data(), fds.size(), timeout) < 0) {
        if (errno == EINTR) {
          continue;
        }
        hostLog(systemError("control endpoint: poll failed"));
        break;
      }
      if (fds[0].revents != 0) {
        m_waker->drain();
      }
      if (m_stop.load()) {
        break;
      }
      if (fds[1].revents & POLLIN) {
        acceptClients();
      }
      // New clients were appended after the polled ones; index by position.
      const std::size_t polled = fds.size() - 2;
      std::vector<std::shared_ptr<Client>> gone;
      for (std::size_t i = 0; i < m_clients.size(); ++i) {
        const auto& c = m_clients[i];
        const short revents = i < polled ? fds[i + 2].revents : 0;
        bool alive = true;
        if (revents & (POLLIN | POLLHUP | POLLERR)) {
          alive = readFrom(*c);
        }
        if (alive) {
          processInput(c);
          alive = c->flush();
        }
        if (alive && c->inputClosed && c->input.empty() && !c->isBusy() && !c->hasOutput()) {
          alive = false;
        }
        if (!alive) {
          gone.push_back(c);
        }
      }
      for (const auto& c : gone) {
        drop(c);
      }
    }
    finish();
  }

  void acceptClients() {
    while (true) {
      int fd = ::accept4(m_listen, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd < 0) {
        if (errno == EINTR) {
          continue;
        }
        return;  // EAGAIN, or a connection that went away meanwhile
      }
      m_clients.push_back(std::make_shared<Client>(fd));
    }
  }

  // Reads what is there; false when the connection failed.
  bool readFrom(Client& c) {
    char buf[65536];
    while (true) {
      ssize_t n = ::recv(c.fd, buf, sizeof buf, MSG_DONTWAIT);
      if (n > 0) {
        c.input.append(buf, static_cast<std::size_t>(n));
        if (c.input.size() >= kMaxInput ||
            std::memchr(buf, '\n', static_cast<std::size_t>(n)) != nullptr) {
          return true;  // let processInput catch up first
        }
        continue;
      }
      if (n == 0) {
        c.inputClosed = true;
        return true;
      }
      if (errno == EINTR) {
        continue;
      }
      return errno == EAGAIN || errno == EWOULDBLOCK;
    }
  }

  // A whole request waits in the client's input (or the rest of an
  // over-long line, or a last request without its line end).
  static bool hasRequest(const Client& c) {
    return c.input.find('\n') != std::string::npos || c.input.size() > kMaxLine ||
           (c.inputClosed && !c.input.empty());
  }

  // Handles the client's requests up to its turn's share; stops early while
  // a transition is under way or its replies are piling up unread.
  void processInput(const std::shared_ptr<Client>& c) {
    std::string& input = c->input;
    std::size_t pos = 0;  // handled up to here; erased once at the end
    for (int handled = 0; handled < kRequestsPerTurn && !c->readPaused();) {
      const std::string::size_type nl = input.find('\n', pos);
      if (c->discarding) {
        if (nl == std::string::npos) {
          pos = input.size();
          break;
        }
        pos = nl + 1;
        c->discarding = false;
        continue;
      }
      std::string line;
      if (nl == std::string::npos) {
        if (input.size() - pos > kMaxLine) {
          c->pushReply(error(json(), "request longer than " + std::to_string(kMaxLine) +
                                         " bytes; skipped up to the next line end"),
                       *m_waker);
          pos = input.size();
          c->discarding = true;
          ++handled;
          continue;
        }
        if (!c->inputClosed || pos == input.size()) {
          break;
        }
        line = input.substr(pos);  // the last request may lack its line end
        pos = input.size();
      } else if (nl - pos > kMaxLine) {
        c->pushReply(error(json(), "request longer than " + std::to_string(kMaxLine) + " bytes"),
                     *m_waker);
        pos = nl + 1;
        ++handled;
        continue;
      } else {
        line = input.substr(pos, nl - pos);
        pos = nl + 1;
      }
      if (!line.empty() && line.back() == '\r') {
        line.pop_back();
      }
      if (line.find_first_not_of(" \t") == std::string::npos) {
        continue;
      }
      handleLine(c, line);
      ++handled;
    }
    input.erase(0, pos);
  }

  void drop(const std::shared_ptr<Client>& c) {
    unsubscribeAll(*c);
    c->close();
    m_clients.erase(std::remove(m_clients.begin(), m_clients.end(), c), m_clients.end());
  }

  // Tells the clients, gives their output a moment to leave, closes them.
  void finish() {
    for (const auto& c : m_clients) {
      c->pushReply(json{{"event", "shutdown"}}, *m_waker);
    }
    const auto deadline = std::chrono::steady_clock::now() + kFinalFlush;
    while (std::chrono::steady_clock::now() < deadline) {
      std::vector<pollfd> fds;
      for (const auto& c : m_clients) {
        if (c->hasOutput()) {
          fds.push_back({c->fd, POLLOUT, 0});
        }
      }
      if (fds.empty()) {
        break;
      }
      ::poll(fds.data(), fds.size(), 50);
      for (const auto& c : m_clients) {
        if (!c->flush()) {
          c->close();
        }
      }
    }
    for (const auto& c : m_clients) {
      c->close();
    }
    m_clients.clear();
  }

  // ---- requests ----------------------------------------------------------------

  static json error(const json& id, const std::string& message) {
    json reply = json::object();
    if (!id.is_null()) {
      reply["id"] = id;
    }
    reply["ok"] = false;
    reply["error"] = message;
    return reply;
  }

  static json okReply(const json& id) {
    json reply = json::object();
    if (!id.is_null()) {
      reply["id"] = id;
    }
    reply["ok"] = true;
    return reply;
  }

  void handleLine(const std::shared_ptr<Client>& c, const std::string& line) {
    json request;
    try {
      request = json::parse(line);
    } catch (const json::exception& e) {
      c->pushReply(error(json(), std::string("malformed JSON: ") + e.what()), *m_waker);
      return;
    }
    if (!request.is_object()) {
      c->pushReply(error(json(), R"(a request is a JSON object, e.g. {"cmd":"list"})"), *m_waker);
      return;
    }
    const json id = request.contains("id") ? request["id"] : json();
    try {
      dispatch(c, request, id);
    } catch (const RequestError& e) {
      c->pushReply(error(id, e.what()), *m_waker);
    } catch (const SampleError& e) {
      c->pushReply(error(id, e.what()), *m_waker);
    } catch (const json::exception& e) {
      c->pushReply(error(id, std::string("bad request: ") + e.what()), *m_waker);
    } catch (const CORBA::Exception& e) {
      c->pushReply(error(id, std::string("the sample does not fit the port: ") + e._name()),
                   *m_waker);
    }
  }

  static std::string stringField(const json& request, const char* name, bool required) {
    auto it = request.find(name);
    if (it == request.end() || it->is_null()) {
      if (required) {
        throw RequestError(std::string("missing \"") + name + "\"");
      }
      return std::string();
    }
    if (!it->is_string()) {
      throw RequestError(std::string("\"") + name + "\" must be a string");
    }
    return it->get<std::string>();
  }

  void dispatch(const std::shared_ptr<Client>& c, const json& request, const json& id) {
    const std::string cmd = stringField(request, "cmd", false);
    if (cmd == "list") {
      json reply = okReply(id);
      reply["components"] = listComponents();
      c->pushReply(reply, *m_waker);
    } else if (cmd == "activate" || cmd == "deactivate" || cmd == "reset") {
      ComponentHost* host = findHost(request);
      Transition t = cmd == "activate"     ? Transition::Activate
                     : cmd == "deactivate" ? Transition::Deactivate
                                           : Transition::Reset;
      startTransition(c, id, host, t);
    } else if (cmd == "get") {
      ComponentHost* host = findHost(request);
      json reply = okReply(id);
      reply["component"] = host->instanceName();
      const std::string key = stringField(request, "key", false);
      if (key.empty()) {
        json config = json::object();
        for (const auto& kv : host->config().values()) {
          config[kv.first] = kv.second;
        }
        reply["config"] = config;
      } else {
        std::string value;
        if (!host->config().value(key, value)) {
          throw RequestError(host->instanceName() + " has no parameter '" + key + "'");
        }
        reply["key"] = key;
        reply["value"] = value;
      }
      c->pushReply(reply, *m_waker);
    } else if (cmd == "set") {
      ComponentHost* host = findHost(request);
      const std::string key = stringField(request, "key", true);
      auto it = request.find("value");
      if (it == request.end()) {
        throw RequestError("missing \"value\"");
      }
      std::string value;
      if (it->is_string()) {
        value = it->get<std::string>();
      } else if (it->is_number() || it->is_boolean()) {
        value = it->dump();
      } else {
        throw RequestError("\"value\" must be a string, a number or a boolean");
      }
      std::string why;
      if (!host->config().set(key, value, why)) {
        throw RequestError(why);
      }
      const RTC::LifeCycleState st = host->state();
      json reply = okReply(id);
      reply["component"] = host->instanceName();
      reply["key"] = key;
      reply["value"] = value;
      reply["applies"] = st == RTC::ACTIVE_STATE || st == RTC::ERROR_STATE
                             ? "after the current cycle"
                             : "at the next activation";
      c->pushReply(reply, *m_waker);
    } else if (cmd == "write") {
      PortRef ref = resolvePort(request, stringField(request, "port", true), false);
      auto it = request.find("sample");
      if (it == request.end()) {
        throw RequestError(
            R"(missing "sample", e.g. {"cmd":"write","port":"VelocityIn","sample":{"data":{"vx":0.3,"vy":0,"va":0.1}}})");
      }
      writeJsonSample(*ref.in, *it);
      json reply = okReply(id);
      reply["port"] = ref.key;
      c->pushReply(reply, *m_waker);
    } else if (cmd == "subscribe") {
      json reply = okReply(id);
      reply["subscribed"] = subscribe(c, request);
      c->pushReply(reply, *m_waker);
    } else if (cmd == "unsubscribe") {
      json reply = okReply(id);
      reply["unsubscribed"] = unsubscribe(*c, request);
      c->pushReply(reply, *m_waker);
    } else if (cmd == "shutdown") {
      c->pushReply(okReply(id), *m_waker);
      m_directory.requestShutdown();
    } else if (cmd == "help") {
      json reply = okReply(id);
      reply["commands"] = json::array();
      for (const char* line : kCommandHelp) {
        reply["commands"].push_back(line);
      }
      c->pushReply(reply, *m_waker);
    } else {
      throw RequestError(
          (cmd.empty() ? std::string("missing \"cmd\"") : "unknown command \"" + cmd + "\"") +
          "; commands: list, activate, deactivate, reset, get, set, write, subscribe, "
          "unsubscribe, shutdown, help");
    }
  }

  json listComponents() {
    json list = json::array();
    for (ComponentHost* host : m_directory.components()) {
      json entry = json::object();
      entry["instance"] = host->instanceName();
      entry["type"] = host->typeName();
      entry["category"] = host->category();
      entry["state"] = stateName(host->state());
      entry["rate"] = host->rate();
      json ports = json::array();
      for (RTC::InPortBase* port : host->inPorts()) {
        ports.push_back(json{{"name", port->getName()},
                             {"direction", "in"},
                             {"type", port->getDataTypeName()},
                             {"id", port->getDataTypeId()}});
      }
      for (RTC::OutPortBase* port : host->outPorts()) {
        ports.push_back(json{{"name", port->getName()},
                             {"direction", "out"},
                             {"type", port->getDataTypeName()},
                             {"id", port->getDataTypeId()}});
      }
      entry["ports"] = ports;
      list.push_back(entry);
    }
    return list;
  }

  static std::string names(const std::vector<ComponentHost*>& hosts) {
    std::string out;
    for (ComponentHost* h : hosts) {
      out += (out.empty() ? "" : ", ") + h->instanceName();
    }
    return out.empty() ? "none" : out;
  }

  ComponentHost* findHost(const json& request) {
    std::vector<ComponentHost*> hosts = m_directory.components();
    const std::string name = stringField(request, "component", false);
    if (name.empty()) {
      if (hosts.size() == 1) {
        return hosts.front();
      }
      throw RequestError(hosts.empty() ? std::string("no component runs in this host")
                                       : "several components run here (" + names(hosts) +
                                             "); name one with \"component\"");
    }
    for (ComponentHost* h : hosts) {
      if (h->instanceName() == name) {
        return h;
      }
    }
    throw RequestError("no component named \"" + name + "\" (components: " + names(hosts) + ")");
  }

  PortRef resolvePort(const json& request, const std::string& name, bool wantOut) {
    std::vector<ComponentHost*> hosts;
    if (request.contains("component")) {
      hosts.push_back(findHost(request));
    } else {
      hosts = m_directory.components();
    }
    std::string portName = name;
    for (ComponentHost* h : hosts) {
      const std::string prefix = h->instanceName() + ".";
      if (name.compare(0, prefix.size(), prefix) == 0) {
        hosts = {h};
        portName = name.substr(prefix.size());
        break;
      }
    }
    std::vector<PortRef> found;
    std::vector<std::string> known;
    bool otherDirection = false;
    for (ComponentHost* h : hosts) {
      for (RTC::InPortBase* p : h->inPorts()) {
        if (!wantOut) {
          known.push_back(h->instanceName() + "." + p->getName());
        }
        if (portName == p->getName()) {
          if (wantOut) {
            otherDirection = true;
          } else {
            found.push_back({h, p, nullptr, h->instanceName() + "." + p->getName()});
          }
        }
      }
      for (RTC::OutPortBase* p : h->outPorts()) {
        if (wantOut) {
          known.push_back(h->instanceName() + "." + p->getName());
        }
        if (portName == p->getName()) {
          if (wantOut) {
            found.push_back({h, nullptr, p, h->instanceName() + "." + p->getName()});
          } else {
            otherDirection = true;
          }
        }
      }
    }
    if (found.size() == 1) {
      return found.front();
    }
    if (found.size() > 1) {
      throw RequestError("several components have a port \"" + portName + "\"; name one, e.g. \"" +
                         found.front().key + "\"");
    }
    std::string list;
    for (const std::string& k : known) {
      list += (list.empty() ? "" : ", ") + k;
    }
    const char* direction = wantOut ? "out-port" : "in-port";
    if (otherDirection) {
      throw RequestError("\"" + name + "\" is an " + (wantOut ? "in-port" : "out-port") +
                         "; this needs an " + direction + " (" + direction +
                         "s: " + (list.empty() ? "none" : list) + ")");
    }
    throw RequestError("no " + std::string(direction) + " named \"" + name + "\" (" + direction +
                       "s: " + (list.empty() ? "none" : list) + ")");
  }

  std::vector<std::string> portNames(const json& request, bool required) {
    std::vector<std::string> names;
    if (request.contains("ports")) {
      const json& ports = request["ports"];
      if (ports.is_string()) {
        names.push_back(ports.get<std::string>());
      } else if (ports.is_array()) {
        for (const json& p : ports) {
          if (!p.is_string()) {
            throw RequestError("\"ports\" must be a list of port names");
          }
          names.push_back(p.get<std::string>());
        }
      } else {
        throw RequestError("\"ports\" must be a list of port names");
      }
    }
    if (request.contains("port")) {
      names.push_back(stringField(request, "port", true));
    }
    if (names.empty() && required) {
      throw RequestError(R"(missing "ports", e.g. {"cmd":"subscribe","ports":["VelocityOut"]})");
    }
    return names;
  }

  json subscribe(const std::shared_ptr<Client>& c, const json& request) {
    std::vector<PortRef> refs;
    for (const std::string& name : portNames(request, true)) {
      PortRef ref = resolvePort(request, name, true);
      std::string why;
      if (!convertible(DataPortAccess::core(*ref.out).schema(), why)) {
        throw RequestError("cannot stream " + ref.key + ": " + why);
      }
      refs.push_back(ref);
    }
    json done = json::array();
    for (const PortRef& ref : refs) {
      auto entry = m_taps.find(ref.key);
      if (entry == m_taps.end()) {
        DataPortCore& core = DataPortAccess::core(*ref.out);
        auto tap = std::make_shared<PortTap>(ref.host->instanceName(), ref.out->getName(),
                                             core.schemaPtr(), m_waker);
        entry = m_taps.emplace(ref.key, TapEntry{ref.out, tap}).first;
        tap->add(c);
        core.addListener(tap);
      } else {
        entry->second.tap->add(c);
      }
      if (std::find(c->subscriptions.begin(), c->subscriptions.end(), ref.key) ==
          c->subscriptions.end()) {
        c->subscriptions.push_back(ref.key);
      }
      done.push_back(ref.key);
    }
    return done;
  }

  void unsubscribeKey(Client& c, const std::string& key) {
    auto entry = m_taps.find(key);
    if (entry != m_taps.end() && entry->second.tap->remove(&c)) {
      DataPortAccess::core(*entry->second.port).removeListener(entry->second.tap);
      m_taps.erase(entry);
    }
    c.subscriptions.erase(std::remove(c.subscriptions.begin(), c.subscriptions.end(), key),
                          c.subscriptions.end());
  }

  json unsubscribe(Client& c, const json& request) {
    std::vector<std::string> keys;
    std::vector<std::string> names = portNames(request, false);
    if (names.empty()) {
      keys = c.subscriptions;
    } else {
      for (const std::string& name : names) {
        keys.push_back(resolvePort(request, name, true).key);
      }
    }
    json done = json::array();
    for (const std::string& key : keys) {
      unsubscribeKey(c, key);
      done.push_back(key);
    }
    return done;
  }

  void unsubscribeAll(Client& c) {
    std::vector<std::string> keys = c.subscriptions;
    for (const std::string& key : keys) {
      unsubscribeKey(c, key);
    }
  }

  void startTransition(const std::shared_ptr<Client>& c, const json& id, ComponentHost* host,
                       Transition t) {
    {
      std::lock_guard<std::mutex> lock(c->mutex);
      c->busy = true;
    }
    std::weak_ptr<Client> weak = c;
    std::shared_ptr<Waker> waker = m_waker;
    const std::string instance = host->instanceName();
    host->requestTransition(t, [weak, waker, id, instance](const TransitionResult& r) {
      auto client = weak.lock();
      if (!client) {
        return;
      }
      json reply = r.code == RTC::RTC_OK ? okReply(id) : error(id, r.message);
      reply["component"] = instance;
      reply["state"] = stateName(r.state);
      reply["result"] = returnCodeName(r.code);
      client->pushReply(reply, *waker);
      {
        std::lock_guard<std::mutex> lock(client->mutex);
        client->busy = false;
      }
      waker->wake();
    });
  }

  HostDirectory& m_directory;
  std::shared_ptr<Waker> m_waker;
  int m_listen = -1;
  std::string m_path;  // as configured, for messages
  std::string m_absolutePath;
  dev_t m_socketDev = 0;
  ino_t m_socketIno = 0;
  std::thread m_thread;
  std::atomic<bool> m_stop{false};
  std::vector<std::shared_ptr<Client>> m_clients;
  std::map<std::string, TapEntry> m_taps;
};

ControlServer::ControlServer(HostDirectory& directory) : m_impl(new Impl(directory)) {}

ControlServer::~ControlServer() = default;

void ControlServer::start(const std::string& path) {
  m_impl->start(path);
}

void ControlServer::stop() {
  m_impl->stop();
}

}  // namespace rtm_standin
