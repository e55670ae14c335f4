#include "tolvarine_control/server.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <future>
#include <mutex>
#include <thread>
#include <utility>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/thread_pool.hpp>

#include "session.h"

namespace tolvarine_control {

namespace {

// Hands `line` to a socket that is not served, without waiting for it.
void sendAndForget(int fd, const std::string& line) {
  const ssize_t n = ::send(fd, line.data(), line.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  (void)n;  // a client that cannot take one short line learns it from the close
}

std::runtime_error systemError(const std::string& what, int err) {
  return std::runtime_error(what + ": " + std::strerror(err));
}

// A socket file nobody answers on is what a process that ended without
// cleaning up leaves behind; one somebody answers on belongs to a live one.
void refuseLiveSocket(const std::string& path, const sockaddr_un& addr) {
  const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (probe < 0) {
    throw systemError("cannot create a socket", errno);
  }
  const int rc = ::connect(probe, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
  const int err = errno;
  ::close(probe);
  // A full queue (EAGAIN) still means a live server.
  if (rc == 0 || err == EAGAIN) {
    throw std::runtime_error("control socket " + path +
                             " is in use by a running host; stop it or choose another path");
  }
  if (err != ECONNREFUSED) {
    throw systemError("cannot check control socket " + path, err);
  }
}

// The file of the listening socket: created owner-only, a stale one left by
// a process that is gone replaced, and removed again at the end if it is
// still the one created here. Throws std::runtime_error with the reason (a
// file that is not a socket, a socket a running server answers on, a path
// too long).
struct SocketFile {
  explicit SocketFile(const std::string& path);
  ~SocketFile();

  int m_fd = -1;  // the listening descriptor, until handed over
  std::string m_absolutePath;
  dev_t m_dev = 0;
  ino_t m_ino = 0;
  bool m_replacedStale = false;
};

SocketFile::SocketFile(const std::string& path) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof addr.sun_path) {
    throw std::runtime_error("control socket path \"" + path + "\" is empty or longer than " +
                             std::to_string(sizeof addr.sun_path - 1) + " bytes");
  }
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);

  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0) {
    if (!S_ISSOCK(st.st_mode)) {
      throw std::runtime_error("control socket path " + path +
                               " exists and is not a socket; remove it or choose another path");
    }
    refuseLiveSocket(path, addr);
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
      throw systemError("cannot remove stale control socket " + path, errno);
    }
    m_replacedStale = true;
  }

  m_fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (m_fd < 0) {
    throw systemError("cannot create a socket", errno);
  }
  // On Linux the file takes the socket's mode at bind(); the chmod below
  // covers systems that ignore it.
  ::fchmod(m_fd, S_IRUSR | S_IWUSR);
  if (::bind(m_fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    const int err = errno;
    ::close(m_fd);
    if (err == EADDRINUSE) {
      throw std::runtime_error("control socket " + path + " is in use by another host");
    }
    throw systemError("cannot create control socket " + path, err);
  }
  if (::chmod(path.c_str(), S_IRUSR | S_IWUSR) != 0 || ::listen(m_fd, 16) != 0 ||
      ::stat(path.c_str(), &st) != 0) {
    const int err = errno;
    ::close(m_fd);
    ::unlink(path.c_str());
    throw systemError("cannot set up control socket " + path, err);
  }
  m_dev = st.st_dev;
  m_ino = st.st_ino;
  std::error_code ec;
  m_absolutePath = std::filesystem::absolute(path, ec);
  if (ec) {
    m_absolutePath = path;
  }
}

SocketFile::~SocketFile() {
  if (m_fd >= 0) {
    ::close(m_fd);
  }
  struct stat st {};
  if (::stat(m_absolutePath.c_str(), &st) == 0 && st.st_dev == m_dev && st.st_ino == m_ino) {
    ::unlink(m_absolutePath.c_str());
  }
}

}  // namespace

// ---- the server --------------------------------------------------------------------

// Public to the server's own methods.
struct Server::Impl : SessionOwner {
  Impl(RequestHandler& handler, const ServerLimits& limits)
      : m_handler(handler), m_limits(limits), m_work(m_io.get_executor()) {
    if (limits.handlerThreads > 0) {
      m_pool.reset(new asio::thread_pool(limits.handlerThreads));
    }
    m_thread = std::thread([this] { m_io.run(); });
  }

  ~Impl() {
    close();
    error_code ignored;
    post([this] {
      error_code ignored;
      m_signals.cancel(ignored);
      m_signals.clear(ignored);  // SIGINT and SIGTERM act as before
    });
    m_work.reset();
    m_thread.join();
    if (m_pool) {
      m_pool->join();
    }
    if (m_reserve >= 0) {
      ::close(m_reserve);
    }
  }

  void close() {
    if (!m_file || m_thread.get_id() == std::this_thread::get_id()) {
      return;
    }
    std::promise<void> done;
    post([this, &done] { closeInThread(done); });
    done.get_future().wait();
    m_file.reset();  // removes the socket file
  }

  void dispatch(const Request& request) override {
    auto run = [this, request] {
      try {
        m_handler.handle(request);
      } catch (const std::exception& e) {
        request.fail(e.what());
      }
    };
    if (m_pool) {
      asio::post(*m_pool, run);
    } else {
      run();
    }
  }

  // Socket thread.
  void forget(const Session* session) override {
    bool last = false;
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_sessions.erase(
          std::remove_if(m_sessions.begin(), m_sessions.end(),
                         [&](const std::shared_ptr<Session>& s) { return s.get() == session; }),
          m_sessions.end());
      last = m_closing && m_sessions.empty();
    }
    if (last && m_closed) {
      auto closed = m_closed;  // it clears m_closed
      closed();
    }
  }

  void post(std::function<void()> task) { asio::post(m_io, std::move(task)); }

  void waitForSignal() {
    m_signals.async_wait([this](const error_code& ec, int signo) {
      if (ec) {
        return;
      }
      if (m_onSignal) {
        m_onSignal(signo);
      }
      waitForSignal();
    });
  }

  void accept() {
    m_acceptor.async_accept([this](const error_code& ec, Local::socket socket) {
      if (ec == asio::error::operation_aborted || !m_acceptor.is_open()) {
        return;
      }
      if (ec) {
        if (ec == asio::error::no_descriptors || ec.value() == ENFILE) {
          refuseWithReserve();
        }
        // Whatever failed, try again after a pause rather than at once: a
        // process out of descriptors would otherwise spin here.
        m_retry.expires_after(m_limits.acceptRetry);
        m_retry.async_wait([this](const error_code& e) {
          if (!e) {
            accept();
          }
        });
        return;
      }
      admit(std::move(socket));
      accept();
    });
  }

  void admit(Local::socket socket) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_sessions.size() >= m_limits.maxClients) {
      sendAndForget(socket.native_handle(),
                    refusal("the host serves at most " + std::to_string(m_limits.maxClients) +
                            " clients at a time; this connection is closed"));
      return;
    }
    auto session = std::make_shared<Session>(*this, std::move(socket), m_limits);
    m_sessions.push_back(session);
    session->start();
  }

  // Out of descriptors: the spare one makes room to tell one waiting
  // client why, instead of leaving it hanging in the queue.
  void refuseWithReserve() {
    if (m_reserve < 0) {
      return;
    }
    ::close(m_reserve);
    const int fd = ::accept4(m_acceptor.native_handle(), nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) {
      sendAndForget(fd, refusal("the host has no file descriptor left for another client; this "
                                "connection is closed"));
      ::close(fd);
    }
    m_reserve = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  }

  void closeInThread(std::promise<void>& done) {
    error_code ignored;
    m_acceptor.close(ignored);
    m_retry.cancel();
    std::vector<std::shared_ptr<Session>> sessions;
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_closing = true;
      sessions = m_sessions;
    }
    auto finished = std::make_shared<bool>(false);
    auto end = [this, &done, finished] {
      if (*finished) {
        return;
      }
      *finished = true;
      m_closed = nullptr;
      m_deadline.cancel();
      std::vector<std::shared_ptr<Session>> left;
      {
        std::lock_guard<std::mutex> lock(m_mutex);
        left.swap(m_sessions);
      }
      for (const auto& s : left) {
        s->abort();
      }
      done.set_value();
    };
    if (sessions.empty()) {
      end();
      return;
    }
    m_closed = end;
    const std::string last = dumpLine(Json{{"event", "shutdown"}});
    for (const auto& s : sessions) {
      s->finish(last);
    }
    m_deadline.expires_after(m_limits.finalFlush);
    m_deadline.async_wait([end](const error_code& ec) {
      if (!ec) {
        end();
      }
    });
  }

  RequestHandler& m_handler;
  const ServerLimits m_limits;
  asio::io_context m_io;
  asio::executor_work_guard<asio::io_context::executor_type> m_work;
  std::unique_ptr<asio::thread_pool> m_pool;
  Local::acceptor m_acceptor{m_io};
  asio::steady_timer m_retry{m_io};
  asio::steady_timer m_deadline{m_io};
  asio::signal_set m_signals{m_io};
  std::function<void(int)> m_onSignal;
  std::unique_ptr<SocketFile> m_file;
  int m_reserve = -1;

  mutable std::mutex m_mutex;  // the sessions
  std::vector<std::shared_ptr<Session>> m_sessions;
  bool m_closing = false;
  std::function<void()> m_closed;  // socket thread: the last session has gone
  std::thread m_thread;
};

Server::Server(RequestHandler& handler, const ServerLimits& limits)
    : m_impl(new Impl(handler, limits)) {}

Server::~Server() = default;

void Server::catchSignals(std::function<void(int)> onSignal) {
  m_impl->m_onSignal = std::move(onSignal);
  m_impl->m_signals.add(SIGINT);
  m_impl->m_signals.add(SIGTERM);
  m_impl->post([this] { m_impl->waitForSignal(); });
}

bool Server::listen(const std::string& path) {
  m_impl->m_file.reset(new SocketFile(path));
  m_impl->m_acceptor.assign(Local(), std::exchange(m_impl->m_file->m_fd, -1));
  // Kept for refusing a client when the process runs out of descriptors.
  m_impl->m_reserve = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  m_impl->post([this] { m_impl->accept(); });
  return m_impl->m_file->m_replacedStale;
}

void Server::close() {
  m_impl->close();
}

void Server::publish(const std::string& topic, const Json& event) {
  std::string line;
  std::lock_guard<std::mutex> lock(m_impl->m_mutex);
  for (const auto& session : m_impl->m_sessions) {
    if (session->subscribed(topic)) {
      if (line.empty()) {
        line = dumpLine(event);
      }
      session->pushIfSubscribed(topic, line);
    }
  }
}

bool Server::hasSubscribers(const std::string& topic) const {
  std::lock_guard<std::mutex> lock(m_impl->m_mutex);
  return std::any_of(m_impl->m_sessions.begin(), m_impl->m_sessions.end(),
                     [&](const std::shared_ptr<Session>& s) { return s->subscribed(topic); });
}

std::size_t Server::clientCount() const {
  std::lock_guard<std::mutex> lock(m_impl->m_mutex);
  return m_impl->m_sessions.size();
}

}  // namespace tolvarine_control
