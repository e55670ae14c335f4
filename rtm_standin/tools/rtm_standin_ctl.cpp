// rtm-standin-ctl: command-line client of the stand-in host's control
// socket, for shells and scripts.

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include <dirent.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

namespace {

using json = nlohmann::ordered_json;

constexpr int kExitOk = 0;
constexpr int kExitRefused = 1;
constexpr int kExitUsage = 2;
constexpr int kExitUnreachable = 3;

const char kUsage[] =
    R"(Usage: rtm-standin-ctl [OPTIONS] COMMAND [ARG...]

Talks to the control socket of a stand-in host (a component process built
against the stand-in for the OpenRTM-aist API).

Commands:
  list                 components with their state, rate and ports
  activate             activate the component; waits until it took place
  deactivate           deactivate it
  reset                reset it from the ERROR state
  get [KEY]            configuration parameters (all, or the value of KEY)
  set KEY VALUE        change a parameter; it applies after the current cycle,
                       or at the next activation
  write PORT JSON      write one sample to an in-port, fields by name, e.g.
                         write VelocityIn '{"data":{"vx":0.3,"vy":0,"va":0.1}}'
                       ("tm" may be left out: the host stamps the sample)
  watch PORT...        print every sample written to these out-ports, one JSON
                       line each, until interrupted (or -n COUNT samples)
  shutdown             shut the host down
  send JSON            send one raw request and print the reply

Options:
  -s, --socket PATH    control socket (default: $RTM_STANDIN_SOCKET, else the
                       only *.sock socket in the current folder)
  -c, --component NAME the component, when several run in the host
  -n, --count N        watch: stop after N samples
  -t, --timeout SEC    give up waiting for a reply after SEC seconds
      --json           print the host's replies as JSON lines
  -h, --help           show this help
Options may also follow the command; "--" ends them.

Exit status: 0 done, 1 the host refused the request, 2 usage error,
3 the host cannot be reached or went away.
)";

std::atomic<bool> g_interrupted{false};

extern "C" void onInterrupt(int) {
  g_interrupted.store(true);
}

[[noreturn]] void fail(int status, const std::string& message) {
  std::cerr << "rtm-standin-ctl: " << message << std::endl;
  std::exit(status);
}

[[noreturn]] void usageError(const std::string& message) {
  std::cerr << "rtm-standin-ctl: " << message << std::endl;
  std::cerr << "rtm-standin-ctl: see rtm-standin-ctl --help" << std::endl;
  std::exit(kExitUsage);
}

struct Options {
  std::string socket;
  std::string component;
  long count = -1;
  double timeout = -1;
  bool jsonOutput = false;
  std::string command;
  std::vector<std::string> args;
};

Options parseOptions(int argc, char** argv) {
  Options o;
  int i = 1;
  auto value = [&](const std::string& name) -> std::string {
    if (i + 1 >= argc) {
      usageError("option " + name + " needs a value");
    }
    return argv[++i];
  };
  bool optionsEnded = false;
  for (; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool isOption = !optionsEnded && arg.size() > 1 && arg[0] == '-';
    if (arg == "--" && !optionsEnded) {
      optionsEnded = true;
    } else if (!isOption) {
      if (o.command.empty()) {
        o.command = arg;
      } else {
        o.args.push_back(arg);
      }
    } else if (arg == "-h" || arg == "--help") {
      std::cout << kUsage;
      std::exit(kExitOk);
    } else if (arg == "-s" || arg == "--socket") {
      o.socket = value(arg);
    } else if (arg == "-c" || arg == "--component") {
      o.component = value(arg);
    } else if (arg == "-n" || arg == "--count") {
      const std::string text = value(arg);
      char* end = nullptr;
      o.count = std::strtol(text.c_str(), &end, 10);
      if (text.empty() || *end != '\0' || o.count < 1) {
        usageError("option " + arg + " needs a positive whole number, got \"" + text + "\"");
      }
    } else if (arg == "-t" || arg == "--timeout") {
      const std::string text = value(arg);
      char* end = nullptr;
      o.timeout = std::strtod(text.c_str(), &end);
      if (text.empty() || *end != '\0' || !(o.timeout > 0)) {
        usageError("option " + arg + " needs a positive number of seconds, got \"" + text + "\"");
      }
    } else if (arg == "--json") {
      o.jsonOutput = true;
    } else if (!o.command.empty()) {
      o.args.push_back(arg);  // a value such as "-1" after the command
    } else {
      usageError("unknown option " + arg);
    }
  }
  if (o.command.empty()) {
    usageError("no command given");
  }
  return o;
}

std::string findSocket() {
  if (const char* env = std::getenv("RTM_STANDIN_SOCKET")) {
    if (*env != '\0') {
      return env;
    }
  }
  std::vector<std::string> found;
  if (DIR* dir = ::opendir(".")) {
    while (dirent* entry = ::readdir(dir)) {
      const std::string name = entry->d_name;
      struct stat st;
      if (name.size() > 5 && name.compare(name.size() - 5, 5, ".sock") == 0 &&
          ::stat(name.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) {
        found.push_back("./" + name);
      }
    }
    ::closedir(dir);
  }
  if (found.size() == 1) {
    return found.front();
  }
  if (found.empty()) {
    usageError("no control socket (*.sock) in the current folder; give one with -s PATH");
  }
  std::string list;
  for (const std::string& f : found) {
    list += (list.empty() ? "" : ", ") + f;
  }
  usageError("several control sockets here (" + list + "); choose one with -s PATH");
}

class Connection {
 public:
  Connection(const std::string& path, double timeout) : m_timeout(timeout) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) {
      fail(kExitUsage, "socket path too long: " + path);
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    m_fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_fd < 0 || ::connect(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      fail(kExitUnreachable,
           "cannot connect to " + path + ": " + std::strerror(errno) + " (is the host running?)");
    }
  }
  ~Connection() { ::close(m_fd); }

  void send(const json& request) {
    const std::string line = request.dump() + "\n";
    std::size_t done = 0;
    while (done < line.size()) {
      ssize_t n = ::send(m_fd, line.data() + done, line.size() - done, MSG_NOSIGNAL);
      if (n < 0) {
        if (errno == EINTR) {
          continue;
        }
        fail(kExitUnreachable, std::string("the host went away: ") + std::strerror(errno));
      }
      done += static_cast<std::size_t>(n);
    }
  }

  // The next line from the host; false at end of stream or when
  // interrupted. Waits at most the timeout (when `timed`).
  bool readLine(std::string& line, bool timed) {
    const auto start = std::chrono::steady_clock::now();
    while (true) {
      std::string::size_type nl = m_buffer.find('\n');
      if (nl != std::string::npos) {
        line = m_buffer.substr(0, nl);
        m_buffer.erase(0, nl + 1);
        return true;
      }
      if (g_interrupted.load()) {
        return false;
      }
      int wait = 200;
      if (timed && m_timeout > 0) {
        const double left =
            m_timeout -
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (left <= 0) {
          fail(kExitUnreachable, "no reply within " + std::to_string(m_timeout) + " s");
        }
        wait = std::min(wait, static_cast<int>(left * 1000) + 1);
      }
      pollfd p{m_fd, POLLIN, 0};
      int rc = ::poll(&p, 1, wait);
      if (rc < 0 && errno != EINTR) {
        fail(kExitUnreachable, std::string("poll: ") + std::strerror(errno));
      }
      if (rc <= 0) {
        continue;
      }
      char buf[65536];
      ssize_t n = ::recv(m_fd, buf, sizeof buf, 0);
      if (n < 0 && errno == EINTR) {
        continue;
      }
      if (n <= 0) {
        return false;
      }
      m_buffer.append(buf, static_cast<std::size_t>(n));
    }
  }

  // Waits for the reply to the request with `id` (samples and notices that
  // arrive meanwhile are skipped).
  json reply(int id) {
    std::string line;
    while (readLine(line, true)) {
      json message;
      try {
        message = json::parse(line);
      } catch (const json::exception&) {
        fail(kExitUnreachable, "the host sent something that is not JSON: " + line);
      }
      if (message.contains("ok") && message.value("id", -1) == id) {
        return message;
      }
    }
    if (g_interrupted.load()) {
      fail(kExitUnreachable, "interrupted before the host replied");
    }
    fail(kExitUnreachable, "the host closed the connection before replying");
  }

 private:
  int m_fd = -1;
  double m_timeout;
  std::string m_buffer;
};

json request(const Options& o, const char* cmd) {
  json r = json::object();
  r["id"] = 1;
  r["cmd"] = cmd;
  if (!o.component.empty()) {
    r["component"] = o.component;
  }
  return r;
}

void needArgs(const Options& o, std::size_t min, std::size_t max, const char* form) {
  if (o.args.size() < min || o.args.size() > max) {
    usageError(std::string("usage: rtm-standin-ctl ") + form);
  }
}

// Prints the reply (as JSON with --json); returns the exit status.
int check(const Options& o, const json& reply) {
  if (o.jsonOutput) {
    std::cout << reply.dump() << std::endl;
  }
  if (!reply.value("ok", false)) {
    std::string message = reply.value("error", std::string("request refused"));
    if (reply.contains("state") && reply.contains("component") &&
        message.find(reply.value("state", "")) == std::string::npos) {
      message += " (" + reply.value("component", "") + " is " + reply.value("state", "") + ")";
    }
    std::cerr << "rtm-standin-ctl: " << message << std::endl;
    return kExitRefused;
  }
  return kExitOk;
}

void printList(const json& reply) {
  for (const json& c : reply["components"]) {
    std::cout << c.value("instance", "") << "  " << c.value("state", "") << "  "
              << c.value("rate", 0.0) << " Hz  (" << c.value("category", "") << " / "
              << c.value("type", "") << ")" << std::endl;
    for (const json& p : c["ports"]) {
      std::cout << "  " << (p.value("direction", "") == "in" ? "in " : "out") << "  "
                << p.value("name", "") << "  " << p.value("type", "") << std::endl;
    }
  }
}

int watch(Connection& conn, const Options& o) {
  json r = request(o, "subscribe");
  r["ports"] = o.args;
  conn.send(r);
  int status = check(o, conn.reply(1));
  if (status != kExitOk) {
    return status;
  }
  long printed = 0;
  std::string line;
  while (conn.readLine(line, false)) {
    json message;
    try {
      message = json::parse(line);
    } catch (const json::exception&) {
      continue;
    }
    const std::string event = message.value("event", "");
    if (event == "sample") {
      message.erase("event");
      std::cout << message.dump() << std::endl;
      if (o.count > 0 && ++printed >= o.count) {
        return kExitOk;
      }
    } else if (event == "dropped") {
      std::cerr << "rtm-standin-ctl: " << message.value("samples", 0UL)
                << " samples were dropped while this client fell behind" << std::endl;
    } else if (event == "shutdown") {
      std::cerr << "rtm-standin-ctl: the host shut down" << std::endl;
      return kExitOk;
    }
  }
  if (g_interrupted.load()) {
    return kExitOk;
  }
  std::cerr << "rtm-standin-ctl: the host closed the connection" << std::endl;
  return kExitUnreachable;
}

}  // namespace

int main(int argc, char** argv) {
  Options o = parseOptions(argc, argv);

  struct sigaction action {};
  action.sa_handler = onInterrupt;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);

  const std::string& cmd = o.command;
  json r;
  if (cmd == "list" || cmd == "activate" || cmd == "deactivate" || cmd == "reset" ||
      cmd == "shutdown") {
    needArgs(o, 0, 0, (cmd + "").c_str());
    r = request(o, cmd.c_str());
  } else if (cmd == "get") {
    needArgs(o, 0, 1, "get [KEY]");
    r = request(o, "get");
    if (!o.args.empty()) {
      r["key"] = o.args[0];
    }
  } else if (cmd == "set") {
    needArgs(o, 2, 2, "set KEY VALUE");
    r = request(o, "set");
    r["key"] = o.args[0];
    r["value"] = o.args[1];
  } else if (cmd == "write") {
    needArgs(o, 2, 2, "write PORT JSON");
    r = request(o, "write");
    r["port"] = o.args[0];
    try {
      r["sample"] = json::parse(o.args[1]);
    } catch (const json::exception& e) {
      usageError("the sample is not valid JSON: " + std::string(e.what()));
    }
  } else if (cmd == "watch") {
    if (o.args.empty()) {
      usageError("usage: rtm-standin-ctl watch PORT...");
    }
  } else if (cmd == "send") {
    needArgs(o, 1, 1, "send JSON");
    try {
      r = json::parse(o.args[0]);
    } catch (const json::exception& e) {
      usageError("the request is not valid JSON: " + std::string(e.what()));
    }
    if (!r.is_object()) {
      usageError("a request is a JSON object, e.g. {\"cmd\":\"list\"}");
    }
    r["id"] = 1;
  } else {
    usageError("unknown command \"" + cmd + "\"");
  }

  Connection conn(o.socket.empty() ? findSocket() : o.socket, o.timeout);
  if (cmd == "watch") {
    return watch(conn, o);
  }
  conn.send(r);
  const json reply = conn.reply(1);
  if (cmd == "send") {
    std::cout << reply.dump() << std::endl;
    return reply.value("ok", false) ? kExitOk : kExitRefused;
  }
  const int status = check(o, reply);
  if (status != kExitOk || o.jsonOutput) {
    return status;
  }
  if (cmd == "list") {
    printList(reply);
  } else if (cmd == "activate" || cmd == "deactivate" || cmd == "reset") {
    std::cout << reply.value("component", "") << " " << reply.value("state", "") << std::endl;
  } else if (cmd == "get" && reply.contains("value")) {
    std::cout << reply.value("value", "") << std::endl;
  } else if (cmd == "get") {
    for (const auto& kv : reply["config"].items()) {
      std::cout << kv.key() << ": " << kv.value().get<std::string>() << std::endl;
    }
  } else if (cmd == "set") {
    std::cout << reply.value("component", "") << ": " << reply.value("key", "") << " = "
              << reply.value("value", "") << " (" << reply.value("applies", "") << ")" << std::endl;
  }
  return kExitOk;
}
