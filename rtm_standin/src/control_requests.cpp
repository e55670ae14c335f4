#include "control_requests.h"

#include <algorithm>

#include "component_host.h"
#include "data_port.h"
#include "sample_json.h"

namespace rtm_standin {

using tolvarine_control::Request;
using tolvarine_control::RequestError;
using tolvarine_control::Server;
using json = tolvarine_control::Json;

// Listens on one out-port and streams every sample, converted to JSON once,
// to the clients subscribed to it (its topic is "Instance.Port").
class PortTap : public SampleListener {
 public:
  PortTap(Server& server, std::string instance, std::string port,
          std::shared_ptr<const TypeSchema> schema)
      : m_server(server),
        m_instance(std::move(instance)),
        m_port(std::move(port)),
        m_topic(m_instance + "." + m_port),
        m_schema(std::move(schema)) {}

  void onSample(cdrMemoryStream& sample) override {
    if (!m_server.hasSubscribers(m_topic)) {
      return;
    }
    json event = json::object();
    event["event"] = "sample";
    event["component"] = m_instance;
    event["port"] = m_port;
    event["sample"] = sampleToJson(*m_schema, sample);
    m_server.publish(m_topic, event);
  }

 private:
  Server& m_server;
  const std::string m_instance;
  const std::string m_port;
  const std::string m_topic;
  const std::shared_ptr<const TypeSchema> m_schema;
};

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

std::string stringField(const json& request, const char* name, bool required) {
  auto it = request.find(name);
  if (it == request.end() || it->is_null()) {
    if (required) {
      throw RequestError(std::string("missing \"") + name + "\"");
    }
    return std::string();
  }
  if (!it->is_string()) {
    throw RequestError(std::string("\"") + name + "\" must be a string");
  }
  return it->get<std::string>();
}

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

ControlRequests::ControlRequests(HostDirectory& directory) : m_directory(directory) {}

ControlRequests::~ControlRequests() {
  detachPorts();
}

void ControlRequests::attach(Server* server) {
  m_server = server;
}

void ControlRequests::detachPorts() {
  std::lock_guard<std::mutex> lock(m_tapsMutex);
  for (auto& entry : m_taps) {
    DataPortAccess::core(*entry.second.first).removeListener(entry.second.second);
  }
  m_taps.clear();
}

void ControlRequests::handle(const Request& request) {
  try {
    dispatch(request);
  } catch (const RequestError& e) {
    request.fail(e.what());
  } catch (const SampleError& e) {
    request.fail(e.what());
  } catch (const json::exception& e) {
    request.fail(std::string("bad request: ") + e.what());
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
      const json fields = {{"component", instance},
                           {"state", stateName(result.state)},
                           {"result", returnCodeName(result.code)}};
      if (result.code == RTC::RTC_OK) {
        r.succeed(fields);
      } else {
        r.fail(result.message, fields);
      }
    });
  } else if (cmd == "get") {
    ComponentHost* host = findHost(request);
    json reply = {{"component", host->instanceName()}};
    const std::string key = stringField(request, "key", false);
    if (key.empty()) {
      json config = json::object();
      for (const auto& kv : host->config().values()) {
        config[kv.first] = kv.second;
      }
      reply["config"] = config;
    } else {
      std::string value;
      if (!host->config().value(key, value)) {
        throw RequestError(host->instanceName() + " has no parameter '" + key + "'");
      }
      reply["key"] = key;
      reply["value"] = value;
    }
    r.succeed(reply);
  } else if (cmd == "set") {
    ComponentHost* host = findHost(request);
    const std::string key = stringField(request, "key", true);
    auto it = request.find("value");
    if (it == request.end()) {
      throw RequestError("missing \"value\"");
    }
    std::string value;
    if (it->is_string()) {
      value = it->get<std::string>();
    } else if (it->is_number() || it->is_boolean()) {
      value = it->dump();
    } else {
      throw RequestError("\"value\" must be a string, a number or a boolean");
    }
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
    auto it = request.find("sample");
    if (it == request.end()) {
      throw RequestError(
          R"(missing "sample", e.g. {"cmd":"write","port":"VelocityIn","sample":{"data":{"vx":0.3,"vy":0,"va":0.1}}})");
    }
    writeJsonSample(*ref.in, *it);
    r.succeed({{"port", ref.key}});
  } else if (cmd == "subscribe") {
    r.succeed({{"subscribed", subscribe(r)}});
  } else if (cmd == "unsubscribe") {
    r.succeed({{"unsubscribed", unsubscribe(r)}});
  } else if (cmd == "shutdown") {
    r.succeed();
    m_directory.requestShutdown();
  } else if (cmd == "help") {
    json commands = json::array();
    for (const char* line : kCommandHelp) {
      commands.push_back(line);
    }
    r.succeed({{"commands", commands}});
  } else {
    throw RequestError(
        (cmd.empty() ? std::string("missing \"cmd\"") : "unknown command \"" + cmd + "\"") +
        "; commands: list, activate, deactivate, reset, get, set, write, subscribe, "
        "unsubscribe, shutdown, help");
  }
}

json ControlRequests::listComponents() {
  json list = json::array();
  for (ComponentHost* host : m_directory.components()) {
    json entry = json::object();
    entry["instance"] = host->instanceName();
    entry["type"] = host->typeName();
    entry["category"] = host->category();
    entry["state"] = stateName(host->state());
    entry["rate"] = host->rate();
    json ports = json::array();
    for (RTC::InPortBase* port : host->inPorts()) {
      ports.push_back(json{{"name", port->getName()},
                           {"direction", "in"},
                           {"type", port->getDataTypeName()},
                           {"id", port->getDataTypeId()}});
    }
    for (RTC::OutPortBase* port : host->outPorts()) {
      ports.push_back(json{{"name", port->getName()},
                           {"direction", "out"},
                           {"type", port->getDataTypeName()},
                           {"id", port->getDataTypeId()}});
    }
    entry["ports"] = ports;
    list.push_back(entry);
  }
  return list;
}

ComponentHost* ControlRequests::findHost(const json& request) {
  std::vector<ComponentHost*> hosts = m_directory.components();
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
  std::vector<ComponentHost*> hosts;
  if (request.contains("component")) {
    hosts.push_back(findHost(request));
  } else {
    hosts = m_directory.components();
  }
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
  std::vector<std::string> known;
  bool otherDirection = false;
  for (ComponentHost* h : hosts) {
    for (RTC::InPortBase* p : h->inPorts()) {
      if (!wantOut) {
        known.push_back(h->instanceName() + "." + p->getName());
      }
      if (portName == p->getName()) {
        if (wantOut) {
          otherDirection = true;
        } else {
          found.push_back({h, p, nullptr, h->instanceName() + "." + p->getName()});
        }
      }
    }
    for (RTC::OutPortBase* p : h->outPorts()) {
      if (wantOut) {
        known.push_back(h->instanceName() + "." + p->getName());
      }
      if (portName == p->getName()) {
        if (wantOut) {
          found.push_back({h, nullptr, p, h->instanceName() + "." + p->getName()});
        } else {
          otherDirection = true;
        }
      }
    }
  }
  if (found.size() == 1) {
    return found.front();
  }
  if (found.size() > 1) {
    throw RequestError("several components have a port \"" + portName + "\"; name one, e.g. \"" +
                       found.front().key + "\"");
  }
  std::string list;
  for (const std::string& k : known) {
    list += (list.empty() ? "" : ", ") + k;
  }
  const char* direction = wantOut ? "out-port" : "in-port";
  if (otherDirection) {
    throw RequestError("\"" + name + "\" is an " + (wantOut ? "in-port" : "out-port") +
                       "; this needs an " + direction + " (" + direction +
                       "s: " + (list.empty() ? "none" : list) + ")");
  }
  throw RequestError("no " + std::string(direction) + " named \"" + name + "\" (" + direction +
                     "s: " + (list.empty() ? "none" : list) + ")");
}

std::vector<std::string> ControlRequests::portNames(const json& request, bool required) {
  std::vector<std::string> names;
  if (request.contains("ports")) {
    const json& ports = request["ports"];
    if (ports.is_string()) {
      names.push_back(ports.get<std::string>());
    } else if (ports.is_array()) {
      for (const json& p : ports) {
        if (!p.is_string()) {
          throw RequestError("\"ports\" must be a list of port names");
        }
        names.push_back(p.get<std::string>());
      }
    } else {
      throw RequestError("\"ports\" must be a list of port names");
    }
  }
  if (request.contains("port")) {
    names.push_back(stringField(request, "port", true));
  }
  if (names.empty() && required) {
    throw RequestError(R"(missing "ports", e.g. {"cmd":"subscribe","ports":["VelocityOut"]})");
  }
  return names;
}

json ControlRequests::subscribe(const Request& r) {
  std::vector<PortRef> refs;
  for (const std::string& name : portNames(r.body(), true)) {
    PortRef ref = resolvePort(r.body(), name, true);
    std::string why;
    if (!convertible(DataPortAccess::core(*ref.out).schema(), why)) {
      throw RequestError("cannot stream " + ref.key + ": " + why);
    }
    refs.push_back(ref);
  }
  json done = json::array();
  for (const PortRef& ref : refs) {
    {
      std::lock_guard<std::mutex> lock(m_tapsMutex);
      if (m_taps.count(ref.key) == 0) {
        DataPortCore& core = DataPortAccess::core(*ref.out);
        auto tap = std::make_shared<PortTap>(*m_server, ref.host->instanceName(),
                                             ref.out->getName(), core.schemaPtr());
        m_taps.emplace(ref.key, std::make_pair(ref.out, tap));
        core.addListener(tap);
      }
    }
    r.subscribe(ref.key);
    done.push_back(ref.key);
  }
  return done;
}

json ControlRequests::unsubscribe(const Request& r) {
  std::vector<std::string> keys;
  const std::vector<std::string> names = portNames(r.body(), false);
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
