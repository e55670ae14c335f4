#include "control_requests.h"

#include <algorithm>

#include "component_host.h"
#include "data_port.h"
#include "manager_core.h"
#include "sample_json.h"

#include <tolvarine_control/request_helpers.h>

namespace rtm_standin {

using tolvarine_control::Request;
using tolvarine_control::RequestError;
using tolvarine_control::stringField;
using json = tolvarine_control::Json;

namespace {

const char* const kCommandHelp[] = {
    R"({"cmd":"list"}  components with their state, rate and ports)",
    R"({"cmd":"activate"|"deactivate"|"reset", "component":NAME}  replies once the transition took place)",
    R"({"cmd":"get", "component":NAME, "key":PARAM}  configuration (all parameters without "key"))",
    R"({"cmd":"set", "component":NAME, "key":PARAM, "value":TEXT}  applies after the current cycle, or at the next activation)",
    R"({"cmd":"write", "port":PORT, "sample":{...}}  one sample to an in-port, fields by name ("tm" optional))",
    R"({"cmd":"subscribe", "ports":[PORT,...]}  every sample written to these out-ports streams as {"event":"sample",...})",
    R"({"cmd":"unsubscribe", "ports":[PORT,...]}  (all without "ports"))",
    R"({"cmd":"shutdown"}  shuts the host down)",
    R"("component" may be left out when one component runs; PORT is "Instance.Port" or a unique port name; "id" is echoed in the reply)",
};

std::string names(const std::vector<ComponentHost*>& hosts) {
  std::string out;
  for (ComponentHost* h : hosts) {
    out += (out.empty() ? "" : ", ") + h->instanceName();
  }
  return out.empty() ? "none" : out;
}

}  // namespace

struct ControlRequests::PortRef {
  ComponentHost* host = nullptr;
  RTC::InPortBase* in = nullptr;
  RTC::OutPortBase* out = nullptr;
  std::string key;  // Instance.Port
};

ControlRequests::ControlRequests(ManagerCore& manager) : m_manager(manager) {}

ControlRequests::~ControlRequests() {
  detachPorts();
}

void ControlRequests::attach(tolvarine_control::Server* server) {
  m_server = server;
}

void ControlRequests::detachPorts() {
  std::lock_guard<std::mutex> lock(m_tapsMutex);
  for (auto& entry : m_taps) {
    DataPortAccess::core(*entry.second).listen(nullptr);
  }
  m_taps.clear();
}

void ControlRequests::handle(const Request& request) {
  // A RequestError, a SampleError or a JSON error the server answers with
  // its text; CORBA's exceptions are none of std::exception.
  try {
    dispatch(request);
  } catch (const CORBA::Exception& e) {
    request.fail(std::string("the sample does not fit the port: ") + e._name());
  }
}

void ControlRequests::dispatch(const Request& r) {
  const json& request = r.body();
  const std::string cmd = stringField(request, "cmd", false);
  if (cmd == "list") {
    r.succeed({{"components", listComponents()}});
  } else if (cmd == "activate" || cmd == "deactivate" || cmd == "reset") {
    ComponentHost* host = findHost(request);
    const Transition t = cmd == "activate"     ? Transition::Activate
                         : cmd == "deactivate" ? Transition::Deactivate
                                               : Transition::Reset;
    const std::string instance = host->instanceName();
    host->requestTransition(t, [r, instance](const TransitionResult& result) {
      tolvarine_control::answerTransition(r, instance, result.state, result.code, result.message);
    });
  } else if (cmd == "get") {
    ComponentHost* host = findHost(request);
    json config = json::object();
    for (const auto& kv : host->config().values()) {
      config[kv.first] = kv.second;
    }
    r.succeed(tolvarine_control::configReply({{"component", host->instanceName()}}, config,
                                             stringField(request, "key", false)));
  } else if (cmd == "set") {
    ComponentHost* host = findHost(request);
    const std::string key = stringField(request, "key", true);
    const std::string value = tolvarine_control::valueField(request);
    std::string why;
    if (!host->config().set(key, value, why)) {
      throw RequestError(why);
    }
    const RTC::LifeCycleState st = host->state();
    r.succeed({{"component", host->instanceName()},
               {"key", key},
               {"value", value},
               {"applies", st == RTC::ACTIVE_STATE || st == RTC::ERROR_STATE
                               ? "after the current cycle"
                               : "at the next activation"}});
  } else if (cmd == "write") {
    PortRef ref = resolvePort(request, stringField(request, "port", true), false);
    writeJsonSample(*ref.in, tolvarine_control::sampleField(request));
    r.succeed({{"port", ref.key}});
  } else if (cmd == "subscribe") {
    r.succeed({{"subscribed", subscribe(r)}});
  } else if (cmd == "unsubscribe") {
    r.succeed({{"unsubscribed", unsubscribe(r)}});
  } else if (cmd == "shutdown") {
    r.succeed();
    m_manager.terminate();
  } else if (cmd == "help") {
    r.succeed({{"commands", kCommandHelp}});
  } else {
    throw tolvarine_control::unknownCommand(
        cmd,
        "list, activate, deactivate, reset, get, set, write, subscribe, unsubscribe, shutdown, "
        "help");
  }
}

json ControlRequests::listComponents() {
  json list = json::array();
  for (ComponentHost* host : m_manager.components()) {
    json entry = json::object();
    entry["instance"] = host->instanceName();
    entry["type"] = host->typeName();
    entry["category"] = host->category();
    entry["state"] = lifeCycleStateName(host->state());
    entry["rate"] = host->rate();
    json ports = json::array();
    auto describe = [&](const auto& list, const char* direction) {
      for (auto* port : list) {
        const DataPortCore& core = DataPortAccess::core(*port);
        ports.push_back({{"name", port->getName()},
                         {"direction", direction},
                         {"type", core.typeName()},
                         {"id", core.typeId()}});
      }
    };
    describe(host->inPorts(), "in");
    describe(host->outPorts(), "out");
    entry["ports"] = ports;
    list.push_back(entry);
  }
  return list;
}

ComponentHost* ControlRequests::findHost(const json& request) {
  std::vector<ComponentHost*> hosts = m_manager.components();
  const std::string name = stringField(request, "component", false);
  if (name.empty()) {
    if (hosts.size() == 1) {
      return hosts.front();
    }
    throw RequestError(hosts.empty() ? std::string("no component runs in this host")
                                     : "several components run here (" + names(hosts) +
                                           "); name one with \"component\"");
  }
  for (ComponentHost* h : hosts) {
    if (h->instanceName() == name) {
      return h;
    }
  }
  throw RequestError("no component named \"" + name + "\" (components: " + names(hosts) + ")");
}

ControlRequests::PortRef ControlRequests::resolvePort(const json& request, const std::string& name,
                                                      bool wantOut) {
  std::vector<ComponentHost*> hosts = request.contains("component")
                                          ? std::vector<ComponentHost*>{findHost(request)}
                                          : m_manager.components();
  std::string portName = name;
  for (ComponentHost* h : hosts) {
    const std::string prefix = h->instanceName() + ".";
    if (name.compare(0, prefix.size(), prefix) == 0) {
      hosts = {h};
      portName = name.substr(prefix.size());
      break;
    }
  }
  std::vector<PortRef> found;
  std::string known;
  bool otherDirection = false;
  for (ComponentHost* h : hosts) {
    auto scan = [&](const auto& ports, bool out) {
      for (auto* p : ports) {
        const std::string key = h->instanceName() + "." + p->getName();
        if (out == wantOut) {
          known += (known.empty() ? "" : ", ") + key;
        }
        if (portName == p->getName()) {
          otherDirection = otherDirection || out != wantOut;
          if (out == wantOut) {
            found.push_back(
                {h, dynamic_cast<RTC::InPortBase*>(p), dynamic_cast<RTC::OutPortBase*>(p), key});
          }
        }
      }
    };
    scan(h->inPorts(), false);
    scan(h->outPorts(), true);
  }
  if (found.size() == 1) {
    return found.front();
  }
  if (found.size() > 1) {
    throw RequestError("several components have a port \"" + portName + "\"; name one, e.g. \"" +
                       found.front().key + "\"");
  }
  const std::string direction = wantOut ? "out-port" : "in-port";
  throw RequestError((otherDirection
                          ? "\"" + name + "\" is an " + (wantOut ? "in-port" : "out-port") +
                                "; this needs an " + direction
                          : "no " + direction + " named \"" + name + "\"") +
                     " (" + direction + "s: " + (known.empty() ? "none" : known) + ")");
}

json ControlRequests::subscribe(const Request& r) {
  std::vector<PortRef> refs;
  for (const std::string& name : tolvarine_control::portNames(r.body(), true)) {
    PortRef ref = resolvePort(r.body(), name, true);
    std::string why;
    if (!convertible(DataPortAccess::core(*ref.out).type(), why)) {
      throw RequestError("cannot stream " + ref.key + ": " + why);
    }
    refs.push_back(ref);
  }
  json done = json::array();
  for (const PortRef& ref : refs) {
    std::lock_guard<std::mutex> lock(m_tapsMutex);
    if (m_taps.emplace(ref.key, ref.out).second) {
      // Every sample converted to JSON once, for all the clients subscribed.
      DataPortCore& core = DataPortAccess::core(*ref.out);
      core.listen([server = m_server, instance = ref.host->instanceName(),
                   port = std::string(ref.out->getName()), topic = ref.key,
                   type = CORBA::TypeCode_var(CORBA::TypeCode::_duplicate(core.type()))](
                      cdrMemoryStream& sample) {
        if (server->hasSubscribers(topic)) {
          server->publish(topic, {{"event", "sample"},
                                  {"component", instance},
                                  {"port", port},
                                  {"sample", sampleToJson(type.in(), sample)}});
        }
      });
    }
    r.subscribe(ref.key);
    done.push_back(ref.key);
  }
  return done;
}

json ControlRequests::unsubscribe(const Request& r) {
  std::vector<std::string> keys;
  const std::vector<std::string> names = tolvarine_control::portNames(r.body(), false);
  if (names.empty()) {
    keys = r.subscriptions();
  } else {
    for (const std::string& name : names) {
      keys.push_back(resolvePort(r.body(), name, true).key);
    }
  }
  json done = json::array();
  for (const std::string& key : keys) {
    r.unsubscribe(key);
    done.push_back(key);
  }
  return done;
}

}  // namespace rtm_standin
