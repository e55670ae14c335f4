// Standard error of the component process goes through a bounded queue and a
// writer thread of its own, so that a console nobody reads (a pipe left full,
// a terminal on hold) never holds up the execution context or the
// controller's threads: their lines are dropped and counted instead.
#ifndef TOLVARINE_COMPONENT_CONSOLE_QUEUE_H
#define TOLVARINE_COMPONENT_CONSOLE_QUEUE_H

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <streambuf>
#include <string>
#include <thread>
#include <unordered_map>

namespace tolvarine_component {

// A stream buffer for any number of threads. Each thread's text is held back
// until its '\n', so lines of different threads never mix; complete lines are
// queued under a short lock and written to the file descriptor by the writer
// thread. There is no put area: every stream operation reaches the queue.
class ConsoleQueue : public std::streambuf {
 public:
  // At the trace's heaviest (about 50 bytes a cycle at 100 cycles a second,
  // plus the odd line of the link and control threads) this holds over ten
  // seconds of output: enough to ride out a terminal that is scrolled back or
  // a slow remote session, while what a console that is never read costs stays
  // fixed and small.
  static const std::size_t kDefaultCapacity = 64 * 1024;

  // The descriptor stays the caller's; the writer thread starts here.
  explicit ConsoleQueue(int fd, std::size_t capacity = kDefaultCapacity);
  // Stops the writer thread once the write it is in returns (so the console
  // must be able to take it); lines still queued are dropped.
  ~ConsoleQueue() override;

  ConsoleQueue(const ConsoleQueue&) = delete;
  ConsoleQueue& operator=(const ConsoleQueue&) = delete;

  // Waits until every line queued before the call has been written, or until
  // `limit` has passed; true when everything went out. With
  // `unfinished_lines`, what each thread has written since its last '\n' is
  // queued first, as it stands.
  bool flush(std::chrono::milliseconds limit, bool unfinished_lines = false);

 protected:
  int_type overflow(int_type c) override;
  std::streamsize xsputn(const char* s, std::streamsize n) override;
  int sync() override;

 private:
  void append(const char* s, std::size_t n);
  bool enqueueLocked(const char* s, std::size_t n);
  void queueNoticeLocked();
  void run();

  const int m_fd;
  const std::size_t m_capacity;
  std::mutex m_mutex;
  std::condition_variable m_queued;   // the writer thread waits for lines
  std::condition_variable m_drained;  // flush waits for the writer thread
  std::unordered_map<std::thread::id, std::string> m_unfinished;
  std::string m_queue;
  std::size_t m_inFlight;         // taken by the writer thread, not yet written
  std::uint64_t m_enqueuedBytes;  // ever queued
  std::uint64_t m_writtenBytes;   // ever written, or given up on
  std::uint64_t m_noticeEnd;      // m_enqueuedBytes after the last notice
  std::uint64_t m_lost;           // lines dropped since the last notice
  bool m_stopping;
  std::thread m_writer;
};

// Points std::cerr and std::clog at a process-wide queue on file descriptor 2
// and has exit() give it half a second to write out. The environment
// variable TOLVARINE_CONSOLE_QUEUE_BYTES sets its capacity (1024 bytes to
// 64 MiB; the default otherwise). Call it first thing in
// main; later calls return the same queue.
ConsoleQueue& installConsoleQueue();

// Writes out the process-wide queue, unfinished lines included, within
// `limit`; for paths that leave without running the exit handlers (abort()).
// True when there is nothing left, or no queue was installed.
bool flushConsole(std::chrono::milliseconds limit);

}  // namespace tolvarine_component

#endif  // TOLVARINE_COMPONENT_CONSOLE_QUEUE_H
