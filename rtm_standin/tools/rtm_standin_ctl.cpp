// rtm-standin-ctl: command-line client of a component host's control socket,
// for shells and scripts.

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include <tolvarine_control/client.h>
#include "command_line.h"
#include "stop_signals.h"

namespace {

using std::chrono::milliseconds;
using tolvarine_control::Client;
using tolvarine_control::Json;

constexpr int kExitOk = 0;
constexpr int kExitRefused = 1;
constexpr int kExitUsage = 2;
constexpr int kExitUnreachable = 3;

const char kCommands[] = R"(Commands:
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

Exit status: 0 done, 1 the host refused the request, 2 usage error,
3 the host cannot be reached, does not answer in time or went away.
)";

struct Options {
  std::string socket;
  std::string component;
  long count = 0;
  double timeout = 30;
  bool jsonOutput = false;
  std::string command;
  std::vector<std::string> args;
};

int complain(int status, const std::string& message) {
  std::cerr << "rtm-standin-ctl: " << message << std::endl;
  if (status == kExitUsage) {
    std::cerr << "rtm-standin-ctl: see rtm-standin-ctl --help" << std::endl;
  }
  return status;
}

// The request for a command, or a usage error in `why`.
bool buildRequest(const Options& o, Json& r, std::string& why) {
  const std::string& cmd = o.command;
  auto arity = [&](std::size_t min, std::size_t max, const char* form) {
    if (o.args.size() < min || o.args.size() > max) {
      why = std::string("usage: rtm-standin-ctl ") + form;
      return false;
    }
    return true;
  };
  r = Json::object();
  r["cmd"] = cmd;
  if (!o.component.empty()) {
    r["component"] = o.component;
  }
  if (cmd == "list" || cmd == "activate" || cmd == "deactivate" || cmd == "reset" ||
      cmd == "shutdown") {
    return arity(0, 0, cmd.c_str());
  }
  if (cmd == "get") {
    if (!o.args.empty()) {
      r["key"] = o.args[0];
    }
    return arity(0, 1, "get [KEY]");
  }
  if (cmd == "set") {
    if (!arity(2, 2, "set KEY VALUE")) {
      return false;
    }
    r["key"] = o.args[0];
    r["value"] = o.args[1];
    return true;
  }
  if (cmd == "watch") {
    r["cmd"] = "subscribe";
    r["ports"] = o.args;
    return arity(1, o.args.size() + 1, "watch PORT...");
  }
  const bool send = cmd == "send";
  if (!send && cmd != "write") {
    why = "unknown command \"" + cmd + "\"";
    return false;
  }
  if (!arity(send ? 1 : 2, send ? 1 : 2, send ? "send JSON" : "write PORT JSON")) {
    return false;
  }
  const Json parsed = Json::parse(o.args.back(), nullptr, false);
  if (parsed.is_discarded()) {
    why = std::string(send ? "the request" : "the sample") + " is not valid JSON: " + o.args.back();
    return false;
  }
  if (send && !parsed.is_object()) {
    why = R"(a request is a JSON object, e.g. {"cmd":"list"})";
    return false;
  }
  if (send) {
    r = parsed;
  } else {
    r["port"] = o.args[0];
    r["sample"] = parsed;
  }
  return true;
}

// Prints a refusal; returns the exit status.
int check(const Options& o, const Json& reply) {
  if (o.jsonOutput) {
    std::cout << reply.dump() << std::endl;
  }
  if (reply.value("ok", false)) {
    return kExitOk;
  }
  std::string message = reply.value("error", std::string("request refused"));
  if (reply.contains("state") && reply.contains("component") &&
      message.find(reply.value("state", "")) == std::string::npos) {
    message += " (" + reply.value("component", "") + " is " + reply.value("state", "") + ")";
  }
  return complain(kExitRefused, message);
}

void print(const std::string& cmd, const Json& reply) {
  if (cmd == "list") {
    for (const Json& c : reply["components"]) {
      std::cout << c.value("instance", "") << "  " << c.value("state", "") << "  "
                << c.value("rate", 0.0) << " Hz  (" << c.value("category", "") << " / "
                << c.value("type", "") << ")" << std::endl;
      for (const Json& p : c["ports"]) {
        std::cout << "  " << (p.value("direction", "") == "in" ? "in " : "out") << "  "
                  << p.value("name", "") << "  " << p.value("type", "") << std::endl;
      }
    }
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
}

int watch(Client& client, const Options& o) {
  long printed = 0;
  for (;;) {
    Json message;
    switch (client.nextEvent(message, milliseconds(200))) {
      case Client::Read::kAborted:
        return kExitOk;
      case Client::Read::kClosed:
        return complain(kExitUnreachable, "the host closed the connection");
      case Client::Read::kTimeout:
        continue;
      case Client::Read::kLine:
        break;
    }
    const std::string event = message.value("event", "");
    if (event == "sample") {
      message.erase("event");
      std::cout << message.dump() << std::endl;
      // A closed output (the reader of a pipe went away) ends the watch as
      // SIGPIPE would, which is ignored here.
      if (!std::cout || (o.count > 0 && ++printed >= o.count)) {
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
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  CLI::App app(
      "Talks to the control socket of a component host (a component process built against the "
      "stand-in for the OpenRTM-aist API, or the driver component on OpenRTM-aist).",
      "rtm-standin-ctl");
  app.footer(kCommands);
  app.add_option("-s,--socket", o.socket,
                 "control socket (default: $RTM_STANDIN_SOCKET, else the only *.sock socket in "
                 "the current folder)");
  app.add_option("-c,--component", o.component, "the component, when several run in the host");
  const auto positive = [](const std::string& text) {
    return std::strtod(text.c_str(), nullptr) > 0 ? std::string() : "must be above 0";
  };
  app.add_option("-n,--count", o.count, "watch: stop after N samples")->check(positive);
  app.add_option("-t,--timeout", o.timeout,
                 "give up after SEC seconds without a connection or a reply")
      ->capture_default_str()
      ->check(positive);
  app.add_flag("--json", o.jsonOutput, "print the host's replies as JSON lines");
  app.add_option("command", o.command, "what to do (see Commands)")->required();
  app.add_option("args", o.args, "its arguments");
  app.positionals_at_end(false);
  if (const int status = tolvarine_tools::parseCommandLine(app, argc, argv); status >= 0) {
    return status;
  }

  Json request;
  std::string why;
  if (!buildRequest(o, request, why)) {
    return complain(kExitUsage, why);
  }
  std::string socket = o.socket;
  if (socket.empty() && (socket = tolvarine_control::defaultControlSocket(&why)).empty()) {
    return complain(kExitUsage, why + " with -s PATH");
  }

  tolvarine_tools::installStopHandlers();

  const milliseconds timeout(static_cast<long>(o.timeout * 1000));
  Client client;
  client.setAbortCheck([] { return tolvarine_tools::stopSignals() != 0; });
  if (!client.connect(socket, timeout, &why)) {
    return complain(kExitUnreachable, why + " (is the host running?)");
  }
  Json reply;
  if (!client.request(request, reply, timeout, &why)) {
    return complain(kExitUnreachable, why);
  }
  if (o.command == "send") {
    std::cout << reply.dump() << std::endl;
    return reply.value("ok", false) ? kExitOk : kExitRefused;
  }
  const int status = check(o, reply);
  if (status != kExitOk) {
    return status;
  }
  if (o.command == "watch") {
    return watch(client, o);
  }
  if (!o.jsonOutput) {
    print(o.command, reply);
  }
  return kExitOk;
}
