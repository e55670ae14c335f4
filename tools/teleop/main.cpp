// tolvarine-teleop: drive the wheelchair from a terminal. Keys change the
// commanded linear and angular velocity in steps; the command goes to the
// running component's "VelocityIn" several times a second, and its
// "OdmetoryOut" and "VelocityOut" samples feed a one-line status display.
// It only talks to the component, so the same tool drives the simulated
// board and a real chair.

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <sstream>
#include <string>

#include <tolvarine_control/client.h>
#include "command_line.h"
#include "status_line.h"
#include "stop_signals.h"
#include "terminal.h"

namespace {

using tolvarine_control::Client;
using tolvarine_control::Json;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using tolvarine_teleop::Key;
using tolvarine_teleop::KeyReader;
using tolvarine_teleop::RawTerminal;

constexpr const char* kProgram = "tolvarine-teleop";
constexpr auto kRequestTimeout = 5s;
// Handshake (at most 10 s) and the controller's settling pause, with room.
constexpr auto kActivationTimeout = 30s;

struct Options {
  std::string socket;
  std::string component;
  double linearStep = 0.05;
  double angularStep = 0.1;
  double maxLinear = 0.6;
  double maxAngular = 0.8;
  double rate = 10.0;
  bool activate = false;
  double commandTimeout = 0.5;
};

void addOptions(CLI::App& app, Options& o) {
  app.description(
      "Drives the wheelchair from this terminal through a running TolvarineContorollerModule "
      "component, over its control socket.");
  app.footer(
      "Keys:\n"
      "  Up / w      linear velocity one step up (ahead)\n"
      "  Down / s    linear velocity one step down (back)\n"
      "  Left / a    angular velocity one step to the left\n"
      "  Right / d   angular velocity one step to the right\n"
      "  Space       stop (both to zero)\n"
      "  q           stop the chair and quit (Ctrl-C does the same)\n"
      "\n"
      "The status line shows the command and the latest pose (\"OdmetoryOut\") and measured\n"
      "velocity (\"VelocityOut\"). The command is written to \"VelocityIn\" at a steady rate, so\n"
      "the component always holds a fresh one.\n"
      "\n"
      "Exit status: 0 quit by key or signal, 1 the component cannot be reached, refused a\n"
      "command or went away, 2 bad options.");
  using tolvarine_tools::addText;
  addText(app, "--socket", o.socket,
          "control socket of the component's host (default: $RTM_STANDIN_SOCKET, else the only "
          "*.sock in this folder)",
          "PATH");
  addText(app, "--component", o.component, "the component instance (default: the only one)",
          "NAME");
  app.add_flag("--activate", o.activate, "activate the component first when it is inactive");
  using tolvarine_tools::addNumber;
  addNumber(app, "--linear-step", o.linearStep, "step of the linear velocity (default 0.05 m/s)",
            "MPS", 0.001, 1.0, "0.001 to 1");
  addNumber(app, "--angular-step", o.angularStep,
            "step of the angular velocity (default 0.1 rad/s)", "RADPS", 0.001, 2.0, "0.001 to 2");
  addNumber(app, "--max-linear", o.maxLinear,
            "limit of the linear velocity, both ways (default 0.6)", "MPS", 0.0, 2.0, "0 to 2");
  addNumber(app, "--max-angular", o.maxAngular,
            "limit of the angular velocity, both ways (default 0.8)", "RADPS", 0.0, 4.0, "0 to 4");
  addNumber(app, "--rate", o.rate, "how often the command is written (default 10)", "HZ", 1.0,
            100.0, "1 to 100");
  addNumber(app, "--command-timeout", o.commandTimeout,
            "set the component's \"Command_Timeout_sec\" first (default 0.5): should this tool "
            "die, the chair comes to rest S seconds after its last command; 0 turns it off",
            "S", 0.0, 60.0, "0 to 60");
}

double stepped(double value, double step, double limit) {
  // Whole steps, so that repeated presses land on round values and zero.
  const double next = std::round((value + step) / std::fabs(step)) * std::fabs(step);
  return std::clamp(next, -limit, limit);
}

class Teleop {
 public:
  explicit Teleop(const Options& options) : options_(options) {}
  int run();

 private:
  bool connect();
  // A request that must succeed; false with "tolvarine-teleop: WHAT: why" otherwise.
  bool ask(const std::string& what, const Json& request, Json& reply,
           std::chrono::milliseconds timeout = kRequestTimeout);
  bool send(double linear, double angular);
  void takeEvents();
  void drawStatus(bool force);
  int failed(const std::string& text);

  Options options_;
  Client connection_;
  std::string component_;
  RawTerminal terminal_;
  double linear_ = 0.0;
  double angular_ = 0.0;
  std::optional<Json> pose_;      // "data" of the latest OdmetoryOut sample
  std::optional<Json> measured_;  // "data" of the latest VelocityOut sample
  bool hostGone_ = false;
  tolvarine_tools::StatusLine console_{kProgram};
};

int Teleop::failed(const std::string& text) {
  terminal_.restore();
  console_.message(text);
  return 1;
}

bool Teleop::ask(const std::string& what, const Json& request, Json& reply,
                 std::chrono::milliseconds timeout) {
  std::string error;
  if (connection_.request(request, reply, timeout, &error) && reply.value("ok", false)) {
    return true;
  }
  console_.message(what + ": " + (error.empty() ? reply.value("error", reply.dump()) : error));
  return false;
}

bool Teleop::connect() {
  std::string socket = options_.socket;
  std::string error;
  if (socket.empty() && (socket = tolvarine_control::defaultControlSocket(&error)).empty()) {
    console_.message(error + " with --socket");
    return false;
  }
  if (!connection_.connect(socket, kRequestTimeout, &error)) {
    console_.message(error + " (is the component running?)");
    return false;
  }
  connection_.setAbortCheck([] { return tolvarine_tools::stopSignals() != 0; });
  Json reply;
  if (!ask("list", {{"cmd", "list"}}, reply)) {
    return false;
  }
  const Json components = reply.value("components", Json::array());
  std::string state;
  for (const Json& c : components) {
    const std::string name = c.value("instance", "");
    if (options_.component.empty() ? components.size() == 1 : name == options_.component) {
      component_ = name;
      state = c.value("state", "");
    }
  }
  if (component_.empty()) {
    console_.message(options_.component.empty()
                         ? "the host runs " + std::to_string(components.size()) +
                               " components; name one with --component"
                         : "the host runs no component " + options_.component);
    return false;
  }
  // The time-out is what stops the chair if this tool is killed: without it
  // the component keeps the last command for good. Refused, nothing drives.
  std::ostringstream timeout;
  timeout << options_.commandTimeout;
  if (!ask("cannot set the component's command time-out",
           {{"cmd", "set"},
            {"component", component_},
            {"key", "Command_Timeout_sec"},
            {"value", timeout.str()}},
           reply)) {
    return false;
  }
  if (state == "INACTIVE" && options_.activate) {
    console_.message("activating " + component_ + " (the link to the chair comes up)...");
    if (!ask("activate (see the component's console)",
             {{"cmd", "activate"}, {"component", component_}}, reply, kActivationTimeout)) {
      return false;
    }
    state = reply.value("state", "");
  }
  if (state != "ACTIVE") {
    console_.message(component_ + " is " + state +
                     (state == "INACTIVE" ? "; activate it first (rtm-standin-ctl activate) or "
                                            "start with --activate"
                                          : "; it has to be ACTIVE (rtm-standin-ctl reset, then "
                                            "activate)"));
    return false;
  }
  return ask("cannot subscribe to the out-ports",
             {{"cmd", "subscribe"},
              {"component", component_},
              {"ports", {component_ + ".OdmetoryOut", component_ + ".VelocityOut"}}},
             reply);
}

bool Teleop::send(double linear, double angular) {
  const Json request = {{"cmd", "write"},
                        {"component", component_},
                        {"port", component_ + ".VelocityIn"},
                        {"sample", {{"data", {{"vx", linear}, {"vy", 0.0}, {"va", angular}}}}}};
  Json reply;
  std::string error;
  if (!connection_.request(request, reply, kRequestTimeout, &error)) {
    hostGone_ = !connection_.isOpen();
    return false;
  }
  return reply.value("ok", false);
}

void Teleop::takeEvents() {
  if (!connection_.pump()) {
    hostGone_ = true;
  }
  Json event;
  while (connection_.nextEvent(event, 0ms) == Client::Read::kLine) {
    const std::string kind = event.value("event", "");
    if (kind == "shutdown") {
      hostGone_ = true;
    } else if (kind == "sample") {
      const std::string port = event.value("port", "");
      if (port == "OdmetoryOut") {
        pose_ = event["sample"]["data"];
      } else if (port == "VelocityOut") {
        measured_ = event["sample"]["data"];
      }
    }
  }
}

void Teleop::drawStatus(bool force) {
  char text[256];
  int n = std::snprintf(text, sizeof text, "cmd v %+.2f m/s  w %+.2f rad/s", linear_, angular_);
  if (pose_) {
    const Json& p = *pose_;
    n += std::snprintf(text + n, sizeof text - n, " | pose x %+.2f m  y %+.2f m  %+.0f deg",
                       p["position"].value("x", 0.0), p["position"].value("y", 0.0),
                       p.value("heading", 0.0) * 180.0 / M_PI);
  } else {
    n += std::snprintf(text + n, sizeof text - n, " | no pose yet");
  }
  if (measured_) {
    std::snprintf(text + n, sizeof text - n, " | meas %.2f m/s %+.2f rad/s",
                  measured_->value("vx", 0.0), measured_->value("va", 0.0));
  }
  console_.show(text, force);
}

int Teleop::run() {
  if (!::isatty(STDIN_FILENO)) {
    console_.message("needs a terminal on standard input");
    return 1;
  }
  if (!connect()) {
    return 1;
  }
  if (!terminal_.enter()) {
    return failed(std::string("cannot set up the terminal: ") + std::strerror(errno));
  }
  console_.message("driving " + component_ +
                   ": arrows or w/a/s/d change the command, space stops, q quits");

  KeyReader keys;
  const auto period = std::chrono::duration_cast<Clock::duration>(
      std::chrono::duration<double>(1.0 / options_.rate));
  auto nextWrite = Clock::now();
  bool quit = false;
  while (!quit && tolvarine_tools::stopSignals() == 0) {
    const auto now = Clock::now();
    if (now >= nextWrite) {
      if (!send(linear_, angular_)) {
        return failed(hostGone_ ? "the component went away" : "the component refused the command");
      }
      nextWrite = now + period;
    }
    takeEvents();
    if (hostGone_) {
      return failed("the component shut down");
    }
    drawStatus(false);

    pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {connection_.fd(), POLLIN, 0}};
    const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(nextWrite - now);
    const int timeout =
        keys.waiting() ? 20 : static_cast<int>(std::clamp<long long>(wait.count(), 0, 100));
    const int ready = ::poll(fds, 2, timeout);
    if (ready < 0 && errno != EINTR) {
      return failed(std::string("poll: ") + std::strerror(errno));
    }
    if (ready <= 0) {
      keys.flush();
      continue;
    }
    if ((fds[0].revents & (POLLIN | POLLHUP)) != 0) {
      char buffer[64];
      const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
      if (n == 0 && (fds[0].revents & POLLHUP) != 0) {
        quit = true;  // the terminal went away
      } else if (n > 0) {
        keys.feed(buffer, static_cast<std::size_t>(n));
      }
    }
    bool changed = false;
    for (Key key = keys.next(); key != Key::kNone; key = keys.next()) {
      const double sign = key == Key::kUp || key == Key::kLeft ? 1.0 : -1.0;
      if (key == Key::kStop) {
        linear_ = angular_ = 0.0;
      } else if (key == Key::kQuit) {
        quit = true;
      } else if (key == Key::kUp || key == Key::kDown) {
        linear_ = stepped(linear_, sign * options_.linearStep, options_.maxLinear);
      } else {
        angular_ = stepped(angular_, sign * options_.angularStep, options_.maxAngular);
      }
      changed = true;
    }
    if (changed && !quit) {
      nextWrite = Clock::now();  // a new command goes out at once
      drawStatus(true);
    }
  }

  // Whatever ended the loop, the chair is told to stop before we go.
  linear_ = angular_ = 0.0;
  const bool bySignal = tolvarine_tools::stopSignals() != 0;
  connection_.setAbortCheck(nullptr);  // lets the last request through
  const bool stopped = send(0.0, 0.0);
  drawStatus(true);
  terminal_.restore();
  console_.finish();
  if (!stopped) {
    console_.message(std::string("could not send the stop command: the component ") +
                     (hostGone_ ? "went away" : "refused it"));
    return 1;
  }
  console_.message(std::string(bySignal ? "stopped by signal" : "stopped") +
                   "; the chair was sent v 0, w 0");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  CLI::App app("", kProgram);
  addOptions(app, options);
  if (const int status = tolvarine_tools::parseCommandLine(app, argc, argv); status >= 0) {
    return status;
  }
  tolvarine_tools::installStopHandlers();
  Teleop teleop(options);
  return teleop.run();
}
