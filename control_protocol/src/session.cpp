#include "session.h"

#include <utility>

#include <boost/asio/post.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/write.hpp>

namespace tolvarine_control {

namespace {

// Queued lines handed to the socket in one write.
constexpr std::size_t kChunk = 64 * 1024;

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

}  // namespace

std::string dumpLine(const Json& value) {
  return value.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
}

std::string refusal(const std::string& why) {
  return replyLine(Json(), false, why);
}

void Session::answer(const std::string& line) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_closed) {
    return;
  }
  m_awaiting = false;
  queueLocked(line, true, 0);
}

void Session::publish(const std::string& topic, const Json& event, std::string& line) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_closed || m_finishing || m_topics.count(topic) == 0) {
    return;
  }
  if (line.empty()) {
    line = dumpLine(event);
  }
  queueLocked(line, false, 1);
}

void Session::finish(const std::string& line) {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_closed) {
      return;
    }
    queueLocked(line, true, 0);
    m_finishing = true;
  }
  flush();
}

void Session::abort() {
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

void Session::queueLocked(const std::string& line, bool reply, unsigned long samples) {
  if (reply) {
    m_replyBytes += line.size();
  } else {
    if (m_sampleBytes + line.size() > m_limits.sampleBacklog) {
      dropSamplesLocked();
    }
    m_sampleBytes += line.size();
  }
  m_out.push_back({line, reply, samples});
  if (!std::exchange(m_scheduled, true)) {
    asio::post(m_socket.get_executor(), [self = shared_from_this()] { self->onScheduled(); });
  }
}

void Session::dropSamplesLocked() {
  unsigned long lost = 0;
  std::deque<Outgoing> kept;
  for (Outgoing& o : m_out) {
    if (o.reply) {
      kept.push_back(std::move(o));
    } else {
      lost += o.samples;
      m_sampleBytes -= o.text.size();
    }
  }
  m_out.swap(kept);
  std::string notice = dumpLine(Json{{"event", "dropped"}, {"samples", lost}});
  m_sampleBytes += notice.size();
  m_out.push_back({std::move(notice), false, lost});
}

void Session::onScheduled() {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_scheduled = false;
  }
  flush();
  resume();
}

void Session::resume() {
  bool paused = false;
  bool idle = false;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    paused = m_closed || m_finishing || m_awaiting || m_replyBytes >= m_limits.replyBacklog;
    idle = !m_awaiting && !m_writing && m_out.empty();
  }
  if (m_inputClosed) {
    if (idle) {
      drop();
    }
    return;
  }
  if (m_reading || paused) {
    return;
  }
  // Every line is a read of its own, even one already buffered: the
  // clients take turns line by line.
  m_reading = true;
  asio::async_read_until(
      m_socket, asio::dynamic_buffer(m_input, m_limits.maxLine + 1), '\n',
      [self = shared_from_this()](const error_code& ec, std::size_t n) { self->onRead(ec, n); });
}

void Session::onRead(const error_code& ec, std::size_t n) {
  m_reading = false;
  if (ec == asio::error::not_found) {
    // The buffer is full and holds no line end: the line is refused now,
    // not once it ends, and the rest of it is skipped as it arrives.
    m_input.clear();
    if (!std::exchange(m_discarding, true)) {
      answer(refusal("request longer than " + std::to_string(m_limits.maxLine) +
                     " bytes; skipped up to the next line end"));
    }
  } else if (ec == asio::error::eof) {
    m_inputClosed = true;
    if (!std::exchange(m_discarding, false)) {
      handleLine(std::move(m_input));  // the last request may lack its line end
    }
    m_input.clear();
  } else if (ec) {
    drop();
    return;
  } else {
    std::string line = m_input.substr(0, n - 1);
    m_input.erase(0, n);
    if (!std::exchange(m_discarding, false)) {
      handleLine(std::move(line));
    }
  }
  resume();
}

void Session::handleLine(std::string line) {
  if (!line.empty() && line.back() == '\r') {
    line.pop_back();
  }
  if (line.find_first_not_of(" \t") == std::string::npos) {
    return;
  }
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

void Session::flush() {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_writing || m_closed) {
    return;
  }
  if (m_out.empty()) {
    if (m_finishing) {
      asio::post(m_socket.get_executor(), [self = shared_from_this()] { self->drop(); });
    }
    return;
  }
  m_inFlight.clear();
  while (!m_out.empty() && m_inFlight.size() < kChunk) {
    (m_out.front().reply ? m_replyBytes : m_sampleBytes) -= m_out.front().text.size();
    m_inFlight += m_out.front().text;
    m_out.pop_front();
  }
  m_writing = true;
  asio::async_write(m_socket, asio::buffer(m_inFlight),
                    [self = shared_from_this()](const error_code& ec, std::size_t) {
                      if (ec) {
                        self->drop();
                        return;
                      }
                      {
                        std::lock_guard<std::mutex> lock(self->m_mutex);
                        self->m_writing = false;
                      }
                      self->flush();
                      self->resume();
                    });
}

void Session::drop() {
  abort();
  m_server.forget(this);
}

struct Request::State {
  std::weak_ptr<Session> session;
  Json body;
  std::once_flag answered;
};

Request::Request(std::shared_ptr<Session> session, Json body)
    : m_state(new State{std::move(session), std::move(body), {}}) {}

const Json& Request::body() const {
  return m_state->body;
}

std::string Request::command() const {
  auto it = body().find("cmd");
  return it != body().end() && it->is_string() ? it->get<std::string>() : std::string();
}

void Request::succeed(const Json& fields) const {
  answer(true, std::string(), fields);
}

void Request::fail(const std::string& message, const Json& fields) const {
  answer(false, message, fields);
}

void Request::answer(bool ok, const std::string& error, const Json& fields) const {
  std::call_once(m_state->answered, [&] {
    if (auto session = m_state->session.lock()) {
      session->answer(replyLine(body().value("id", Json()), ok, error, fields));
    }
  });
}

void Request::subscribe(const std::string& topic) const {
  if (auto session = m_state->session.lock()) {
    session->withTopics([&](std::set<std::string>& topics) { topics.insert(topic); });
  }
}

void Request::unsubscribe(const std::string& topic) const {
  if (auto session = m_state->session.lock()) {
    session->withTopics([&](std::set<std::string>& topics) { topics.erase(topic); });
  }
}

std::vector<std::string> Request::subscriptions() const {
  std::vector<std::string> topics;
  if (auto session = m_state->session.lock()) {
    session->withTopics([&](std::set<std::string>& t) { topics.assign(t.begin(), t.end()); });
  }
  return topics;
}

}  // namespace tolvarine_control
