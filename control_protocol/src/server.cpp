#include "tolvarine_control/server.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <deque>
#include <future>
#include <mutex>
#include <set>
#include <thread>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/asio/write.hpp>

#include "socket_file.h"

namespace tolvarine_control {

namespace asio = boost::asio;
using Local = asio::local::stream_protocol;
using boost::system::error_code;

namespace {

constexpr std::size_t kChunk = 64 * 1024;
// Requests of one client handled before the others get their turn.
constexpr int kRequestsPerTurn = 32;

std::string dumpLine(const Json& value) {
  return value.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
}

// {"id":ID,"ok":OK[,"error":WHY], fields...}: the id only when the request
// had one, the error only on a refusal.
std::string replyLine(const Json& id, bool ok, const std::string& error,
                      const Json& fields = Json::object()) {
  Json reply = Json::object();
  if (!id.is_null()) {
    reply["id"] = id;
  }
  reply["ok"] = ok;
  if (!ok) {
    reply["error"] = error;
  }
  for (auto it = fields.begin(); it != fields.end(); ++it) {
    reply[it.key()] = it.value();
  }
  return dumpLine(reply);
}

std::string refusal(const std::string& why) {
  return replyLine(Json(), false, why);
}

// Hands `line` to a socket that is not served, without waiting for it.
void sendAndForget(int fd, const std::string& line) {
  const ssize_t n = ::send(fd, line.data(), line.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  (void)n;  // a client that cannot take one short line learns it from the close
}

}  // namespace

// ---- one client ------------------------------------------------------------------

class Session : public std::enable_shared_from_this<Session> {
 public:
  Session(Server::Impl& server, Local::socket socket, const ServerLimits& limits)
      : m_server(server), m_socket(std::move(socket)), m_limits(limits) {}

  // ---- any thread ----

  void answer(const std::string& line) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_closed) {
      return;
    }
    m_awaiting = false;
    queueLocked(line, Kind::Reply);
  }

  void push(const std::string& line) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_closed && !m_finishing) {
      queueLocked(line, Kind::Sample);
    }
  }

  // Under the session's lock, so that once unsubscribe() returns nothing
  // more of that topic is queued: no sample follows the reply.
  bool pushIfSubscribed(const std::string& topic, const std::string& line) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_closed || m_finishing || m_topics.count(topic) == 0) {
      return false;
    }
    queueLocked(line, Kind::Sample);
    return true;
  }

  bool subscribed(const std::string& topic) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_topics.count(topic) > 0;
  }
  void subscribe(const std::string& topic) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_topics.insert(topic);
  }
  void unsubscribe(const std::string& topic) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_topics.erase(topic);
  }
  std::vector<std::string> topics() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return std::vector<std::string>(m_topics.begin(), m_topics.end());
  }

  // ---- socket thread ----

  void start() { readMore(); }

  // The last line, then the connection closes once it has left.
  void finish(const std::string& line) {
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      if (m_closed) {
        return;
      }
      queueLocked(line, Kind::Reply);
      m_finishing = true;
    }
    flush();
  }

  void abort() {
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_closed = true;
      m_out.clear();
      m_topics.clear();
    }
    error_code ignored;
    m_socket.shutdown(Local::socket::shutdown_both, ignored);
    m_socket.close(ignored);
  }

  bool closed() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_closed;
  }

 private:
  enum class Kind { Reply, Sample, Notice };
  struct Outgoing {
    std::string text;
    Kind kind;
    unsigned long lost;  // samples a notice reports
  };

  void queueLocked(const std::string& line, Kind kind) {
    if (kind == Kind::Reply) {
      m_replyBytes += line.size();
    } else {
      if (m_sampleBytes + line.size() > m_limits.sampleBacklog) {
        dropSamplesLocked();
      }
      m_sampleBytes += line.size();
    }
    m_out.push_back({line, kind, 0});
    if (!m_scheduled) {
      m_scheduled = true;
      auto self = shared_from_this();
      asio::post(m_socket.get_executor(), [self] { self->onScheduled(); });
    }
  }

  // The client is not keeping up: forget its queued samples (never the
  // replies, nor what is being sent) and queue one notice of how many.
  void dropSamplesLocked() {
    unsigned long lost = 0;
    std::deque<Outgoing> kept;
    for (Outgoing& o : m_out) {
      if (o.kind == Kind::Reply) {
        kept.push_back(std::move(o));
        continue;
      }
      lost += o.kind == Kind::Sample ? 1 : o.lost;
      m_sampleBytes -= o.text.size();
    }
    m_out.swap(kept);
    std::string notice = dumpLine(Json{{"event", "dropped"}, {"samples", lost}});
    m_sampleBytes += notice.size();
    m_out.push_back({std::move(notice), Kind::Notice, lost});
  }

  void onScheduled() {
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_scheduled = false;
    }
    flush();
    processInput();
  }

  // Reading waits while a request is unanswered or replies pile up unread.
  bool paused() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_closed || m_finishing || m_awaiting || m_replyBytes >= m_limits.replyBacklog;
  }

  bool idle() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return !m_awaiting && !m_writing && m_out.empty();
  }

  void readMore() {
    if (m_reading || m_inputClosed || paused()) {
      return;
    }
    m_reading = true;
    auto self = shared_from_this();
    m_socket.async_read_some(asio::buffer(m_chunk), [self](const error_code& ec, std::size_t n) {
      self->m_reading = false;
      if (ec == asio::error::eof) {
        self->m_inputClosed = true;
      } else if (ec) {
        self->drop();
        return;
      } else {
        self->take(self->m_chunk.data(), n);
      }
      self->processInput();
    });
  }

  // Keeps at most one line's worth: the rest of an over-long line is
  // skipped as it arrives, never held.
  void take(const char* data, std::size_t n) {
    const char* end = data + n;
    if (m_discarding) {
      const char* nl = std::find(data, end, '\n');
      if (nl == end) {
        return;
      }
      m_discarding = false;
      data = nl + 1;
    }
    const std::size_t before = m_input.size();
    m_input.append(data, end);
    if (m_input.size() > m_limits.maxLine && m_input.find('\n', before) == std::string::npos &&
        m_input.find('\n') == std::string::npos) {
      m_input.clear();
      m_discarding = true;
      answer(refusal("request longer than " + std::to_string(m_limits.maxLine) +
                     " bytes; skipped up to the next line end"));
    }
  }

  void processInput() {
    for (int handled = 0; !paused();) {
      if (handled == kRequestsPerTurn) {
        auto self = shared_from_this();
        asio::post(m_socket.get_executor(), [self] { self->processInput(); });
        return;
      }
      std::string line;
      const std::string::size_type nl = m_input.find('\n');
      if (nl != std::string::npos) {
        line = m_input.substr(0, nl);
        m_input.erase(0, nl + 1);
      } else if (m_inputClosed && !m_input.empty()) {
        line.swap(m_input);  // the last request may lack its line end
      } else {
        break;
      }
      if (!line.empty() && line.back() == '\r') {
        line.pop_back();
      }
      if (line.find_first_not_of(" \t") == std::string::npos) {
        continue;
      }
      ++handled;
      if (line.size() > m_limits.maxLine) {
        answer(refusal("request longer than " + std::to_string(m_limits.maxLine) + " bytes"));
        continue;
      }
      handleLine(line);
    }
    if (m_inputClosed && m_input.empty() && idle()) {
      drop();
      return;
    }
    readMore();
  }

  void handleLine(const std::string& line);

  void flush() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_writing || m_closed) {
      return;
    }
    if (m_out.empty()) {
      if (m_finishing) {
        auto self = shared_from_this();
        asio::post(m_socket.get_executor(), [self] { self->drop(); });
      }
      return;
    }
    m_inFlight.clear();
    m_inFlightReplies = 0;
    m_inFlightSamples = 0;
    while (!m_out.empty() && m_inFlight.size() < kChunk) {
      Outgoing& o = m_out.front();
      (o.kind == Kind::Reply ? m_inFlightReplies : m_inFlightSamples) += o.text.size();
      m_inFlight += o.text;
      m_out.pop_front();
    }
    m_writing = true;
    auto self = shared_from_this();
    asio::async_write(m_socket, asio::buffer(m_inFlight),
                      [self](const error_code& ec, std::size_t) { self->onWritten(ec); });
  }

  void onWritten(const error_code& ec) {
    if (ec) {
      drop();
      return;
    }
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_writing = false;
      m_replyBytes -= m_inFlightReplies;
      m_sampleBytes -= m_inFlightSamples;
    }
    flush();
    processInput();
  }

  void drop();

  Server::Impl& m_server;
  Local::socket m_socket;
  const ServerLimits& m_limits;

  // Socket thread only.
  std::array<char, kChunk> m_chunk{};
  std::string m_input;
  bool m_discarding = false;  // skipping the rest of an over-long line
  bool m_inputClosed = false;
  bool m_reading = false;
  std::string m_inFlight;
  std::size_t m_inFlightReplies = 0;
  std::size_t m_inFlightSamples = 0;

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

// ---- requests --------------------------------------------------------------------

struct Request::State {
  std::weak_ptr<Session> session;
  Json body;
  Json id;
  std::once_flag answered;
};

Request::Request(std::shared_ptr<Session> session, Json body) : m_state(std::make_shared<State>()) {
  m_state->session = session;
  m_state->body = std::move(body);
  if (m_state->body.is_object() && m_state->body.contains("id")) {
    m_state->id = m_state->body["id"];
  }
}

const Json& Request::body() const {
  return m_state->body;
}

std::string Request::command() const {
  auto it = body().find("cmd");
  return it != body().end() && it->is_string() ? it->get<std::string>() : std::string();
}

void Request::succeed(const Json& fields) const {
  std::call_once(m_state->answered, [&] {
    if (auto session = m_state->session.lock()) {
      session->answer(replyLine(m_state->id, true, std::string(), fields));
    }
  });
}

void Request::fail(const std::string& message, const Json& fields) const {
  std::call_once(m_state->answered, [&] {
    if (auto session = m_state->session.lock()) {
      session->answer(replyLine(m_state->id, false, message, fields));
    }
  });
}

void Request::subscribe(const std::string& topic) const {
  if (auto session = m_state->session.lock()) {
    session->subscribe(topic);
  }
}

void Request::unsubscribe(const std::string& topic) const {
  if (auto session = m_state->session.lock()) {
    session->unsubscribe(topic);
  }
}

std::vector<std::string> Request::subscriptions() const {
  auto session = m_state->session.lock();
  return session ? session->topics() : std::vector<std::string>();
}

// ---- the server --------------------------------------------------------------------

class Server::Impl {
 public:
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

  void catchSignals(std::function<void(int)> onSignal) {
    m_onSignal = std::move(onSignal);
    m_signals.add(SIGINT);
    m_signals.add(SIGTERM);
    post([this] { waitForSignal(); });
  }

  bool listen(const std::string& path) {
    m_file.reset(new SocketFile(path));
    m_acceptor.assign(Local(), m_file->release());
    // Kept for refusing a client when the process runs out of descriptors.
    m_reserve = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    post([this] { accept(); });
    return m_file->replacedStale();
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

  void dispatch(const Request& request) {
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

  void publish(const std::string& topic, const Json& event) {
    std::string line;
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const auto& session : m_sessions) {
      if (session->subscribed(topic)) {
        if (line.empty()) {
          line = dumpLine(event);
        }
        session->pushIfSubscribed(topic, line);
      }
    }
  }

  bool hasSubscribers(const std::string& topic) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return std::any_of(m_sessions.begin(), m_sessions.end(),
                       [&](const std::shared_ptr<Session>& s) { return s->subscribed(topic); });
  }

  void post(std::function<void()> task) { asio::post(m_io, std::move(task)); }

  std::size_t clientCount() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_sessions.size();
  }

  // Socket thread.
  void forget(const Session* session) {
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

 private:
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

  friend class Session;
};

void Session::handleLine(const std::string& line) {
  Json request;
  try {
    request = Json::parse(line);
  } catch (const Json::exception& e) {
    answer(refusal(std::string("malformed JSON: ") + e.what()));
    return;
  }
  if (!request.is_object()) {
    answer(refusal(R"(a request is a JSON object, e.g. {"cmd":"list"})"));
    return;
  }
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_awaiting = true;
  }
  m_server.dispatch(Request(shared_from_this(), std::move(request)));
}

void Session::drop() {
  abort();
  m_server.forget(this);
}

Server::Server(RequestHandler& handler, const ServerLimits& limits)
    : m_impl(new Impl(handler, limits)) {}

Server::~Server() = default;

void Server::catchSignals(std::function<void(int)> onSignal) {
  m_impl->catchSignals(std::move(onSignal));
}

bool Server::listen(const std::string& path) {
  return m_impl->listen(path);
}

void Server::close() {
  m_impl->close();
}

void Server::publish(const std::string& topic, const Json& event) {
  m_impl->publish(topic, event);
}

bool Server::hasSubscribers(const std::string& topic) const {
  return m_impl->hasSubscribers(topic);
}

void Server::post(std::function<void()> task) {
  m_impl->post(std::move(task));
}

std::size_t Server::clientCount() const {
  return m_impl->clientCount();
}

}  // namespace tolvarine_control
