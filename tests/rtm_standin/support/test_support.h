// Helpers of the stand-in's tests: a child process with captured output, a
// private temporary folder, and a client of the control socket.
#ifndef RTM_STANDIN_TEST_SUPPORT_H
#define RTM_STANDIN_TEST_SUPPORT_H

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <sys/types.h>

#include <nlohmann/json.hpp>

namespace standin_test {

using json = nlohmann::ordered_json;
using namespace std::chrono_literals;

// A folder under /tmp, removed with everything in it at destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string& path() const { return m_path; }
  std::string file(const std::string& name) const { return m_path + "/" + name; }
  void write(const std::string& name, const std::string& content) const;

 private:
  std::string m_path;
};

// A child process whose standard output and error are collected.
class Process {
 public:
  explicit Process(const std::vector<std::string>& argv, const std::string& cwd = "");
  ~Process();  // kills the process when it still runs

  pid_t pid() const { return m_pid; }
  void signal(int signo);
  // The exit status (128 + signal number when killed by a signal), or
  // nothing when it did not end within `timeout`.
  std::optional<int> wait(std::chrono::milliseconds timeout);
  std::string out();
  std::string err();
  // Waits until standard error contains `text`.
  bool waitForErr(const std::string& text, std::chrono::milliseconds timeout);

  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

 private:
  void collect(int fd, std::string& into);

  pid_t m_pid = -1;
  std::optional<int> m_status;
  std::mutex m_mutex;
  std::condition_variable m_changed;
  std::string m_out;
  std::string m_err;
  std::thread m_outReader;
  std::thread m_errReader;
};

// Waits until something accepts connections on `path`.
bool waitForSocket(const std::string& path, std::chrono::milliseconds timeout);

// One connection to a control socket.
class ControlClient {
 public:
  explicit ControlClient(const std::string& path);
  ~ControlClient();

  void sendLine(const std::string& line);
  // Sends `request` with a fresh "id" and returns the reply with that id;
  // sample events arriving meanwhile are kept for nextEvent().
  json request(json request, std::chrono::milliseconds timeout = 60s);
  // The next streamed event (samples, notices), or nothing on time-out.
  std::optional<json> nextEvent(std::chrono::milliseconds timeout);
  // The next line of any kind, or nothing on time-out or end of stream.
  std::optional<json> nextLine(std::chrono::milliseconds timeout);
  // Forgets the events kept by request().
  void clearEvents() { m_events.clear(); }
  bool closedByHost(std::chrono::milliseconds timeout);
  int fd() const { return m_fd; }

  ControlClient(const ControlClient&) = delete;
  ControlClient& operator=(const ControlClient&) = delete;

 private:
  std::optional<std::string> readLine(std::chrono::milliseconds timeout);

  int m_fd = -1;
  int m_nextId = 1;
  std::string m_buffer;
  bool m_eof = false;
  std::deque<json> m_events;
};

// Polls `condition` until it holds or `timeout` passes.
bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout);

// Lines of `text` in order.
std::vector<std::string> lines(const std::string& text);
// Index of the first line equal to `line`, or -1.
int lineIndex(const std::string& text, const std::string& line);

}  // namespace standin_test

#endif  // RTM_STANDIN_TEST_SUPPORT_H
