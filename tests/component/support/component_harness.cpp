#include "component_harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#ifndef TOLVARINE_COMPONENT_EXE
#error "TOLVARINE_COMPONENT_EXE must name the component executable"
#endif

extern char** environ;

namespace component_test {

namespace {

void removeTree(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) {
    return;
  }
  if (S_ISDIR(st.st_mode)) {
    if (DIR* dir = ::opendir(path.c_str())) {
      std::vector<std::string> names;
      while (dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") {
          names.push_back(name);
        }
      }
      ::closedir(dir);
      for (const std::string& name : names) {
        removeTree(path + "/" + name);
      }
    }
    ::rmdir(path.c_str());
  } else {
    ::unlink(path.c_str());
  }
}

int connectTo(const std::string& path) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) {
    return -1;
  }
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    return -1;
  }
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void writeAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return;
    }
    done += static_cast<std::size_t>(n);
  }
}

}  // namespace

// ---- TempDir -------------------------------------------------------------------

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern =
      std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/tolvarine-comp-XXXXXX";
  // UNIX socket paths are short; fall back to /tmp for a deep TMPDIR.
  if (pattern.size() > 60) {
    pattern = "/tmp/tolvarine-comp-XXXXXX";
  }
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (::mkdtemp(buffer.data()) == nullptr) {
    throw std::runtime_error("mkdtemp failed: " + std::string(std::strerror(errno)));
  }
  m_path = buffer.data();
}

TempDir::~TempDir() {
  removeTree(m_path);
}

void TempDir::write(const std::string& name, const std::string& content) const {
  std::ofstream out(file(name), std::ios::binary);
  out << content;
}

// ---- ComponentProcess ----------------------------------------------------------

ComponentProcess::ComponentProcess(const std::string& dir, const std::vector<std::string>& args,
                                   int stderrFd)
    : m_dir(dir) {
  std::vector<std::string> argv;
  argv.push_back(TOLVARINE_COMPONENT_EXE);
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> raw;
  for (std::string& a : argv) {
    raw.push_back(a.data());
  }
  raw.push_back(nullptr);

  const std::string out = dir + "/stdout.log";
  const std::string err = dir + "/stderr.log";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (stderrFd >= 0) {
    posix_spawn_file_actions_adddup2(&actions, stderrFd, STDERR_FILENO);
  } else {
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
  }
  // The board's pseudo-terminal lives in this process; the component must
  // hold nothing of it but what it opens itself.
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  posix_spawn_file_actions_addchdir_np(&actions, dir.c_str());
  const int rc = ::posix_spawn(&m_pid, raw[0], &actions, nullptr, raw.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    throw std::runtime_error(std::string("cannot start the component: ") + std::strerror(rc));
  }
}

ComponentProcess::~ComponentProcess() {
  if (!m_status) {
    ::kill(m_pid, SIGKILL);
    int status = 0;
    while (::waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
    }
  }
}

std::string ComponentProcess::err() const {
  return readFile(m_dir + "/stderr.log");
}

bool ComponentProcess::waitForErr(const std::string& text, std::chrono::milliseconds timeout,
                                  std::size_t from) const {
  return eventually(
      [&] {
        const std::string all = err();
        return all.size() > from && all.find(text, from) != std::string::npos;
      },
      timeout);
}

void ComponentProcess::signal(int signo) {
  if (!m_status) {
    ::kill(m_pid, signo);
  }
}

std::optional<int> ComponentProcess::wait(std::chrono::milliseconds timeout) {
  if (m_status) {
    return m_status;
  }
  eventually(
      [&] {
        int status = 0;
        const pid_t r = ::waitpid(m_pid, &status, WNOHANG);
        if (r == m_pid) {
          m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
          return true;
        }
        return false;
      },
      timeout);
  return m_status;
}

std::vector<std::string> ComponentProcess::openFiles() const {
  std::vector<std::string> files;
  const std::string fdDir = "/proc/" + std::to_string(m_pid) + "/fd";
  if (DIR* dir = ::opendir(fdDir.c_str())) {
    while (dirent* entry = ::readdir(dir)) {
      const std::string name = entry->d_name;
      if (name == "." || name == "..") {
        continue;
      }
      char target[4096];
      const ssize_t n = ::readlink((fdDir + "/" + name).c_str(), target, sizeof target - 1);
      files.push_back(
          name + " -> " +
          (n > 0 ? std::string(target, static_cast<std::size_t>(n)) : std::string("?")));
    }
    ::closedir(dir);
  }
  std::sort(files.begin(), files.end());
  return files;
}

// ---- ControlClient -------------------------------------------------------------

ControlClient::ControlClient(const std::string& socketPath) {
  m_fd = connectTo(socketPath);
  if (m_fd < 0) {
    throw std::runtime_error("cannot connect to " + socketPath + ": " + std::strerror(errno));
  }
  if (::pipe2(m_wakePipe, O_CLOEXEC) != 0) {
    ::close(m_fd);
    throw std::runtime_error("pipe failed");
  }
  m_reader = std::thread([this] { readLoop(); });
}

ControlClient::~ControlClient() {
  const char c = 'x';
  ssize_t n = ::write(m_wakePipe[1], &c, 1);
  (void)n;
  m_reader.join();
  ::close(m_wakePipe[0]);
  ::close(m_wakePipe[1]);
  ::close(m_fd);
}

void ControlClient::readLoop() {
  std::string buffer;
  char chunk[8192];
  while (true) {
    pollfd fds[2] = {{m_fd, POLLIN, 0}, {m_wakePipe[0], POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) {
        continue;
      }
      break;
    }
    if (fds[1].revents != 0) {
      break;
    }
    const ssize_t n = ::recv(m_fd, chunk, sizeof chunk, 0);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      break;
    }
    const auto at = Clock::now();
    buffer.append(chunk, static_cast<std::size_t>(n));
    std::size_t nl;
    while ((nl = buffer.find('\n')) != std::string::npos) {
      const std::string line = buffer.substr(0, nl);
      buffer.erase(0, nl + 1);
      json parsed = json::parse(line, nullptr, false);
      std::lock_guard<std::mutex> lock(m_mutex);
      if (parsed.is_object() && parsed.contains("event")) {
        m_events.push_back(Event{at, std::move(parsed)});
      } else {
        m_replies.push_back(std::move(parsed));
      }
      m_changed.notify_all();
    }
  }
  std::lock_guard<std::mutex> lock(m_mutex);
  m_closed = true;
  m_changed.notify_all();
}

json ControlClient::request(json request, std::chrono::milliseconds timeout) {
  const std::string sent = request.dump();
  std::optional<json> reply = tryRequest(std::move(request), timeout);
  EXPECT_TRUE(reply.has_value()) << "no reply to " << sent
                                 << (closed() ? " (connection closed)" : "");
  return reply ? *reply : json::object();
}

std::optional<json> ControlClient::tryRequest(json request, std::chrono::milliseconds timeout) {
  const int id = m_nextId++;
  request["id"] = id;
  writeAll(m_fd, request.dump() + "\n");
  std::unique_lock<std::mutex> lock(m_mutex);
  json reply;
  const bool got = m_changed.wait_for(lock, timeout, [&] {
    for (auto it = m_replies.begin(); it != m_replies.end(); ++it) {
      if (it->is_object() && it->value("id", -1) == id) {
        reply = std::move(*it);
        m_replies.erase(it);
        return true;
      }
    }
    return m_closed;
  });
  if (!got || !reply.is_object()) {
    return std::nullopt;
  }
  return reply;
}

std::vector<ControlClient::Event> ControlClient::events() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_events;
}

std::size_t ControlClient::eventCount() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_events.size();
}

bool ControlClient::waitForEvents(const std::function<bool(const std::vector<Event>&)>& condition,
                                  std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(m_mutex);
  return m_changed.wait_for(lock, timeout, [&] { return condition(m_events); });
}

bool ControlClient::closed() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_closed;
}

bool ControlClient::waitClosed(std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(m_mutex);
  return m_changed.wait_for(lock, timeout, [&] { return m_closed; });
}

// ---- free helpers --------------------------------------------------------------

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (true) {
    if (condition()) {
      return true;
    }
    if (Clock::now() >= deadline) {
      return false;
    }
    std::this_thread::sleep_for(5ms);
  }
}

bool waitForSocket(const std::string& path, std::chrono::milliseconds timeout) {
  return eventually(
      [&] {
        const int fd = connectTo(path);
        if (fd < 0) {
          return false;
        }
        ::close(fd);
        return true;
      },
      timeout);
}

std::string withoutHostLines(const std::string& text) {
  static const std::string kHostPrefix = "rtm-standin: ";
  std::string kept;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    end = end == std::string::npos ? text.size() : end + 1;
    if (text.compare(start, kHostPrefix.size(), kHostPrefix) != 0) {
      kept.append(text, start, end - start);
    }
    start = end;
  }
  return kept;
}

std::vector<json> samplesOf(const std::vector<ControlClient::Event>& events,
                            const std::string& port) {
  std::vector<json> samples;
  for (const ControlClient::Event& e : events) {
    if (e.body.value("event", "") == "sample" && e.body.value("port", "") == port) {
      samples.push_back(e.body.at("sample"));
    }
  }
  return samples;
}

std::uint32_t monotonicTickMs() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  const std::uint64_t ms = static_cast<std::uint64_t>(now.tv_sec) * 1000u +
                           static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
  return static_cast<std::uint32_t>(ms);
}

}  // namespace component_test
