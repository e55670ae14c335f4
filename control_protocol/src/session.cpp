#include "session.h"

#include <algorithm>

#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>

namespace tolvarine_control {

namespace {

// Requests of one client handled before the others get their turn.
constexpr int kRequestsPerTurn = 32;

}  // namespace

std::string dumpLine(const Json& value) {
  return value.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
}

std::string replyLine(const Json& id, bool ok, const std::string& error, const Json& fields) {
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

void Session::answer(const std::string& line) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_closed) {
    return;
  }
  m_awaiting = false;
  queueLocked(line, Kind::Reply);
}

bool Session::pushIfSubscribed(const std::string& topic, const std::string& line) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_closed || m_finishing || m_topics.count(topic) == 0) {
    return false;
  }
  queueLocked(line, Kind::Sample);
  return true;
}

bool Session::subscribed(const std::string& topic) {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_topics.count(topic) > 0;
}

void Session::subscribe(const std::string& topic) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_topics.insert(topic);
}

void Session::unsubscribe(const std::string& topic) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_topics.erase(topic);
}

std::vector<std::string> Session::topics() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return std::vector<std::string>(m_topics.begin(), m_topics.end());
}

void Session::finish(const std::string& line) {
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

void Session::queueLocked(const std::string& line, Kind kind) {
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

void Session::dropSamplesLocked() {
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

void Session::onScheduled() {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_scheduled = false;
  }
  flush();
  processInput();
}

bool Session::paused() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_closed || m_finishing || m_awaiting || m_replyBytes >= m_limits.replyBacklog;
}

bool Session::idle() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return !m_awaiting && !m_writing && m_out.empty();
}

void Session::readMore() {
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

void Session::take(const char* data, std::size_t n) {
  const char* end = data + n;
  if (m_discarding) {
    const char* nl = std::find(data, end, '\n');
    if (nl == end) {
      return;
    }
    m_discarding = false;
    data = nl + 1;
  }
  m_input.append(data, end);
  if (m_input.size() > m_limits.maxLine && m_input.find('\n') == std::string::npos) {
    m_input.clear();
    m_discarding = true;
    answer(refusal("request longer than " + std::to_string(m_limits.maxLine) +
                   " bytes; skipped up to the next line end"));
  }
}

void Session::processInput() {
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

void Session::flush() {
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

void Session::onWritten(const error_code& ec) {
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

}  // namespace tolvarine_control
