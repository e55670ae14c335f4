#include "tolvarine_control/server.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <future>
#include <mutex>
#include <thread>

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
void refuseLiveSocket(const std::string& path, const Local::endpoint& endpoint) {
  // Non-blocking: a live host whose queue is full answers EAGAIN at once.
  const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (probe < 0) {
    throw systemError("cannot create a socket", errno);
  }
  const int rc = ::connect(probe, endpoint.data(), static_cast<socklen_t>(endpoint.size()));
  const int err = errno;
  ::close(probe);
  if (rc == 0 || err == EAGAIN) {
    throw std::runtime_error("control socket " + path +
                             " is in use by a running host; stop it or choose another path");
  }
  if (err != ECONNREFUSED) {
    throw systemError("cannot check control socket " + path, err);
  }
}

// The file of the listening socket: created owner-only, a stale one
// replaced, and removed again at the end if it is still the one created
// here. Throws std::runtime_error with the reason.
struct SocketFile {
  SocketFile(Local::acceptor& acceptor, const std::string& path);
  ~SocketFile();

  std::string m_absolutePath;
  dev_t m_dev = 0;
  ino_t m_ino = 0;
  bool m_replacedStale = false;
};

SocketFile::SocketFile(Local::acceptor& acceptor, const std::string& path) {
  if (path.empty() || path.size() >= sizeof(sockaddr_un::sun_path)) {
    throw std::runtime_error("control socket path \"" + path + "\" is empty or longer than " +
                             std::to_string(sizeof(sockaddr_un::sun_path) - 1) + " bytes");
  }
  const Local::endpoint endpoint(path);
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0) {
    if (!S_ISSOCK(st.st_mode)) {
      throw std::runtime_error("control socket path " + path +
                               " exists and is not a socket; remove it or choose another path");
    }
    refuseLiveSocket(path, endpoint);
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
      throw systemError("cannot remove stale control socket " + path, errno);
    }
    m_replacedStale = true;
  }

  // Handed to `acceptor` once it listens; closed here on the way out otherwise.
  Local::acceptor bound(acceptor.get_executor());
  error_code ec;
  bound.open(Local(), ec);
  if (ec) {
    throw std::runtime_error("cannot create a socket: " + ec.message());
  }
  // On Linux the file takes the socket's mode at bind(), so that nobody
  // else can connect in between; the chmod below covers systems that
  // ignore it.
  ::fchmod(bound.native_handle(), S_IRUSR | S_IWUSR);
  bound.bind(endpoint, ec);
  if (ec == asio::error::address_in_use) {
    throw std::runtime_error("control socket " + path + " is in use by another host");
  }
  if (ec) {
    throw std::runtime_error("cannot create control socket " + path + ": " + ec.message());
  }
  if (::chmod(path.c_str(), S_IRUSR | S_IWUSR) != 0 || ::stat(path.c_str(), &st) != 0) {
    ec.assign(errno, boost::system::system_category());
  } else {
    bound.listen(16, ec);
  }
  if (ec) {
    ::unlink(path.c_str());
    throw std::runtime_error("cannot set up control socket " + path + ": " + ec.message());
  }
  acceptor = std::move(bound);
  m_dev = st.st_dev;
  m_ino = st.st_ino;
  std::error_code fsError;
  m_absolutePath = std::filesystem::absolute(path, fsError);
  if (fsError) {
    m_absolutePath = path;
  }
}

SocketFile::~SocketFile() {
  struct stat st {};
  if (::stat(m_absolutePath.c_str(), &st) == 0 && st.st_dev == m_dev && st.st_ino == m_ino) {
    ::unlink(m_absolutePath.c_str());
  }
}

}  // namespace

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
    asio::post(m_io, [this] {
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

  // Not from the socket thread, which it waits for.
  void close() {
    if (!m_file || m_thread.get_id() == std::this_thread::get_id()) {
      return;
    }
    std::promise<void> done;
    asio::post(m_io, [this, &done] {
      error_code ignored;
      m_acceptor.close(ignored);
      m_retry.cancel();
      const std::string last = dumpLine(Json{{"event", "shutdown"}});
      const auto open = sessions();
      for (const auto& s : open) {
        s->finish(last);
      }
      // Cut short by forget() once the last session has gone.
      m_deadline.expires_after(open.empty() ? std::chrono::milliseconds(0) : m_limits.finalFlush);
      m_deadline.async_wait([this, &done](const error_code&) {
        std::vector<std::shared_ptr<Session>> left;
        {
          std::lock_guard<std::mutex> lock(m_mutex);
          left.swap(m_sessions);
        }
        for (const auto& s : left) {
          s->abort();
        }
        done.set_value();
      });
    });
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

  void forget(const Session* session) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_sessions.erase(
        std::remove_if(m_sessions.begin(), m_sessions.end(),
                       [&](const std::shared_ptr<Session>& s) { return s.get() == session; }),
        m_sessions.end());
    if (m_sessions.empty()) {
      m_deadline.cancel();
    }
  }

  std::vector<std::shared_ptr<Session>> sessions() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_sessions;
  }

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
    m_sessions.push_back(std::make_shared<Session>(*this, std::move(socket), m_limits));
    m_sessions.back()->start();
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

  RequestHandler& m_handler;
  const ServerLimits m_limits;
  asio::io_context m_io;
  asio::executor_work_guard<asio::io_context::executor_type> m_work;
  std::unique_ptr<asio::thread_pool> m_pool;
  Local::acceptor m_acceptor{m_io};
  asio::steady_timer m_retry{m_io};
  asio::steady_timer m_deadline{m_io};  // for the last lines at close()
  asio::signal_set m_signals{m_io};
  std::function<void(int)> m_onSignal;
  std::unique_ptr<SocketFile> m_file;
  int m_reserve = -1;

  mutable std::mutex m_mutex;  // the sessions
  std::vector<std::shared_ptr<Session>> m_sessions;
  std::thread m_thread;
};

Server::Server(RequestHandler& handler, const ServerLimits& limits)
    : m_impl(new Impl(handler, limits)) {}

Server::~Server() = default;

void Server::catchSignals(std::function<void(int)> onSignal) {
  m_impl->m_onSignal = std::move(onSignal);
  m_impl->m_signals.add(SIGINT);
  m_impl->m_signals.add(SIGTERM);
  asio::post(m_impl->m_io, [this] { m_impl->waitForSignal(); });
}

bool Server::listen(const std::string& path) {
  m_impl->m_file.reset(new SocketFile(m_impl->m_acceptor, path));
  // Kept for refusing a client when the process runs out of descriptors.
  m_impl->m_reserve = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  asio::post(m_impl->m_io, [this] { m_impl->accept(); });
  return m_impl->m_file->m_replacedStale;
}

void Server::close() {
  m_impl->close();
}

void Server::publish(const std::string& topic, const Json& event) {
  std::string line;  // dumped once, for the first client subscribed
  std::lock_guard<std::mutex> lock(m_impl->m_mutex);
  for (const auto& session : m_impl->m_sessions) {
    session->publish(topic, event, line);
  }
}

bool Server::hasSubscribers(const std::string& topic) const {
  std::lock_guard<std::mutex> lock(m_impl->m_mutex);
  return std::any_of(
      m_impl->m_sessions.begin(), m_impl->m_sessions.end(), [&](const std::shared_ptr<Session>& s) {
        return s->withTopics([&](std::set<std::string>& t) { return t.count(topic) > 0; });
      });
}

std::size_t Server::clientCount() const {
  std::lock_guard<std::mutex> lock(m_impl->m_mutex);
  return m_impl->m_sessions.size();
}

}  // namespace tolvarine_control
