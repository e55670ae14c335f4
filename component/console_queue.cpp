#include "console_queue.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>

#if defined(_WIN32)
#include <io.h>
#else
#include <poll.h>
#include <unistd.h>
#endif

namespace tolvarine_component {

namespace {

// Sizes the process-wide queue, in bytes.
const char* const kCapacityVariable = "TOLVARINE_CONSOLE_QUEUE_BYTES";
const unsigned long long kMinConfiguredCapacity = 1024;
const unsigned long long kMaxConfiguredCapacity = 64ull * 1024 * 1024;

// A thread that writes this much without a '\n' has it queued as it stands,
// so one runaway writer cannot grow memory; no line of the trace comes near.
const std::size_t kMaxUnfinishedLine = 4096;

// Leaves room for the lost-line notice whatever the capacity asked for.
const std::size_t kMinCapacity = 256;

std::string lostNotice(std::uint64_t lines) {
  return "console: " + std::to_string(lines) + " lines lost while standard error was not read\n";
}

long writeSome(int fd, const char* data, std::size_t size) {
#if defined(_WIN32)
  return ::_write(fd, data, static_cast<unsigned>(size > 0x10000 ? 0x10000 : size));
#else
  return static_cast<long>(::write(fd, data, size));
#endif
}

// Someone may have made a shared descriptor non-blocking; wait for room
// rather than spin.
void waitWritable(int fd) {
#if !defined(_WIN32)
  struct pollfd p;
  p.fd = fd;
  p.events = POLLOUT;
  p.revents = 0;
  ::poll(&p, 1, -1);
#else
  (void)fd;
#endif
}

std::atomic<ConsoleQueue*> g_console(nullptr);

void flushConsoleAtExit() {
  flushConsole(std::chrono::milliseconds(500));
}

}  // namespace

ConsoleQueue::ConsoleQueue(int fd, std::size_t capacity)
    : m_fd(fd),
      m_capacity(capacity < kMinCapacity ? kMinCapacity : capacity),
      m_inFlight(0),
      m_enqueuedBytes(0),
      m_writtenBytes(0),
      m_noticeEnd(0),
      m_lost(0),
      m_stopping(false) {
  // The queue and the writer's batch trade places; neither grows once used.
  m_queue.reserve(m_capacity);
  m_writer = std::thread(&ConsoleQueue::run, this);
}

ConsoleQueue::~ConsoleQueue() {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_stopping = true;
  }
  m_queued.notify_one();
  m_writer.join();
}

ConsoleQueue::int_type ConsoleQueue::overflow(int_type c) {
  if (traits_type::eq_int_type(c, traits_type::eof())) {
    return traits_type::not_eof(c);
  }
  const char ch = traits_type::to_char_type(c);
  append(&ch, 1);
  return c;
}

std::streamsize ConsoleQueue::xsputn(const char* s, std::streamsize n) {
  if (n > 0) {
    append(s, static_cast<std::size_t>(n));
  }
  return n;
}

// std::cerr syncs after every `<<`; a line goes out only whole, at its '\n'.
int ConsoleQueue::sync() {
  return 0;
}

void ConsoleQueue::append(const char* s, std::size_t n) {
  const char* const end = s + n;
  bool queued = false;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    const std::thread::id self = std::this_thread::get_id();
    std::string& line = m_unfinished[self];
    while (s != end) {
      const char* newline = static_cast<const char*>(std::memchr(s, '\n', end - s));
      if (newline == nullptr) {
        line.append(s, end);
        if (line.size() >= kMaxUnfinishedLine) {
          queued |= enqueueLocked(line.data(), line.size());
          line.clear();
        }
        break;
      }
      ++newline;
      if (line.empty()) {
        queued |= enqueueLocked(s, newline - s);
      } else {
        line.append(s, newline);
        queued |= enqueueLocked(line.data(), line.size());
        line.clear();
      }
      s = newline;
    }
    if (line.empty()) {
      m_unfinished.erase(self);
    }
  }
  if (queued) {
    m_queued.notify_one();
  }
}

bool ConsoleQueue::enqueueLocked(const char* s, std::size_t n) {
  const std::size_t used = m_queue.size() + m_inFlight;
  if (m_lost > 0) {
    // The notice goes where the lines went missing, and only with a line
    // that fits after it, so the count stays true.
    if (used + lostNotice(m_lost).size() + n > m_capacity) {
      ++m_lost;
      return false;
    }
    queueNoticeLocked();
  } else if (used + n > m_capacity) {
    ++m_lost;
    return false;
  }
  m_queue.append(s, n);
  m_enqueuedBytes += n;
  return true;
}

void ConsoleQueue::queueNoticeLocked() {
  const std::string notice = lostNotice(m_lost);
  m_queue += notice;
  m_enqueuedBytes += notice.size();
  m_noticeEnd = m_enqueuedBytes;
  m_lost = 0;
}

void ConsoleQueue::run() {
  std::string batch;
  batch.reserve(m_capacity);
  std::unique_lock<std::mutex> lock(m_mutex);
  for (;;) {
    m_queued.wait(lock, [this] { return m_stopping || !m_queue.empty(); });
    if (m_stopping) {
      return;
    }
    batch.swap(m_queue);
    m_queue.clear();
    m_inFlight = batch.size();
    lock.unlock();

    std::size_t done = 0;
    while (done < batch.size()) {
      const long n = writeSome(m_fd, batch.data() + done, batch.size() - done);
      std::size_t advanced;
      if (n > 0) {
        advanced = static_cast<std::size_t>(n);
      } else if (n < 0 && errno == EINTR) {
        continue;
      } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        waitWritable(m_fd);
        continue;
      } else {
        // A console that is gone takes nothing more; give the batch up so
        // flush does not wait for it.
        advanced = batch.size() - done;
      }
      done += advanced;
      lock.lock();
      m_inFlight -= advanced;
      m_writtenBytes += advanced;
      lock.unlock();
      m_drained.notify_all();
    }

    lock.lock();
    // Lost lines with no line after them would otherwise never be reported.
    if (m_queue.empty() && m_lost > 0) {
      queueNoticeLocked();
    }
  }
}

bool ConsoleQueue::flush(std::chrono::milliseconds limit, bool unfinished_lines) {
  std::unique_lock<std::mutex> lock(m_mutex);
  if (unfinished_lines) {
    for (const auto& entry : m_unfinished) {
      enqueueLocked(entry.second.data(), entry.second.size());
    }
    m_unfinished.clear();
  }
  const std::uint64_t target = m_enqueuedBytes;
  m_queued.notify_one();
  // Lines lost before now are owed a notice, which the writer thread queues
  // as soon as it has emptied the queue; wait for that too.
  return m_drained.wait_for(lock, limit, [&] {
    return m_lost == 0 && m_writtenBytes >= target && m_writtenBytes >= m_noticeEnd;
  });
}

ConsoleQueue& installConsoleQueue() {
  static ConsoleQueue* const console = [] {
    // The environment may size the queue, e.g. to keep a longer backlog for
    // a console that is read in bursts. Out of range: the default.
    std::size_t capacity = ConsoleQueue::kDefaultCapacity;
    bool badCapacity = false;
    if (const char* text = std::getenv(kCapacityVariable)) {
      char* end = nullptr;
      const unsigned long long bytes = std::strtoull(text, &end, 10);
      if (end != text && *end == '\0' && bytes >= kMinConfiguredCapacity &&
          bytes <= kMaxConfiguredCapacity) {
        capacity = static_cast<std::size_t>(bytes);
      } else {
        badCapacity = true;
      }
    }
    // Created once and never destroyed: the middleware's and the
    // controller's threads may still write to std::cerr while static objects
    // are destroyed at exit, and the stream must still have a buffer then.
    ConsoleQueue* queue = new ConsoleQueue(2, capacity);
    std::cerr.rdbuf(queue);
    std::clog.rdbuf(queue);
    g_console.store(queue);
    std::atexit(flushConsoleAtExit);
    if (badCapacity) {
      std::cerr << kCapacityVariable << " must be a byte count from " << kMinConfiguredCapacity
                << " to " << kMaxConfiguredCapacity << "; the console keeps " << capacity
                << " bytes" << std::endl;
    }
    return queue;
  }();
  return *console;
}

bool flushConsole(std::chrono::milliseconds limit) {
  ConsoleQueue* const console = g_console.load();
  return console == nullptr || console->flush(limit, true);
}

}  // namespace tolvarine_component
