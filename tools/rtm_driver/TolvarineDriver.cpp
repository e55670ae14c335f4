// -*- C++ -*-
#include "TolvarineDriver.h"

#include <rtm/NVUtil.h>

#include <time.h>

#include <tolvarine_control/request_helpers.h>

#include <algorithm>
#include <cmath>
#include <iostream>
#include <vector>

using tolvarine_control::Json;
using tolvarine_control::Request;
using tolvarine_control::RequestError;
using tolvarine_control::stringField;

namespace {

// clang-format off
static const char* driver_spec[] = {
    "implementation_id", "TolvarineDriver",
    "type_name", "TolvarineDriver",
    "description", "Drives the wheelchair component for the demo and the tests",
    "version", "1.0.0",
    "vendor", "Tolvarine",
    "category", "Tolvarine",
    "activity_type", "PERIODIC",
    "kind", "DataFlowComponent",
    "max_instance", "1",
    "language", "C++",
    "lang_type", "compile",
    ""};
// clang-format on

const char* kCommandPort = "VelocityIn";
const char* kVelocityPort = "VelocityOut";
const char* kOdometryPort = "OdmetoryOut";

using tolvarine_control::lifeCycleStateName;

Json timeJson(const RTC::Time& tm) {
  return Json{{"sec", tm.sec}, {"nsec", tm.nsec}};
}

template <class Sequence>
Json sequenceJson(const Sequence& seq) {
  Json list = Json::array();
  for (CORBA::ULong i = 0; i < seq.length(); ++i) {
    list.push_back(seq[i]);
  }
  return list;
}

Json velocityJson(const RTC::Velocity2D& v) {
  return Json{{"vx", v.vx}, {"vy", v.vy}, {"va", v.va}};
}

Json sampleJson(const ZEQ::TimedVelocity2D& v) {
  return Json{{"tm", timeJson(v.tm)},
              {"id", sequenceJson(v.id)},
              {"data", velocityJson(v.data)},
              {"error", sequenceJson(v.error)}};
}

Json sampleJson(const RTC::TimedVelocity2D& v) {
  return Json{{"tm", timeJson(v.tm)}, {"data", velocityJson(v.data)}};
}

Json sampleJson(const ZEQ::TimedPose2D& p) {
  const RTC::Pose2D& d = p.data;
  return Json{
      {"tm", timeJson(p.tm)},
      {"id", sequenceJson(p.id)},
      {"data", {{"position", {{"x", d.position.x}, {"y", d.position.y}}}, {"heading", d.heading}}},
      {"error", sequenceJson(p.error)}};
}

struct Received {
  CORBA::ULong sec;
  CORBA::ULong nsec;
  int order;  // the wheelchair writes the pose of a cycle before its velocity
  const char* port;
  const char* via;
  Json sample;
};

// Every sample waiting in an in-port of the driver, as it will be published.
template <class In>
void takeNew(In& in, int order, const char* port, const char* via, std::vector<Received>& out) {
  while (in.port.isNew()) {
    in.port.read();
    out.push_back(
        Received{in.sample.tm.sec, in.sample.tm.nsec, order, port, via, sampleJson(in.sample)});
  }
}

// A velocity command, stamped now, out of a port of the driver in its type.
template <class Out>
bool writeVelocity(Out& out, double vx, double vy, double va) {
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  out.sample.tm.sec = static_cast<CORBA::ULong>(now.tv_sec);
  out.sample.tm.nsec = static_cast<CORBA::ULong>(now.tv_nsec);
  out.sample.data.vx = vx;
  out.sample.data.vy = vy;
  out.sample.data.va = va;
  return out.port.write();
}

double number(const Json& data, const char* field) {
  const Json::const_iterator it = data.find(field);
  if (it == data.end() || !it->is_number() || !std::isfinite(it->get<double>())) {
    throw RequestError(std::string("\"sample\".\"data\".\"") + field + "\" must be a number");
  }
  return it->get<double>();
}

// A port name of a request as the component's own port name: without the
// "<instance>." the protocol allows in front.
std::string portName(const std::string& name) {
  const std::string::size_type dot = name.rfind('.');
  return dot == std::string::npos ? name : name.substr(dot + 1);
}

}  // namespace

TolvarineDriver::TolvarineDriver(RTC::Manager* manager) : RTC::DataFlowComponentBase(manager) {}

TolvarineDriver::~TolvarineDriver() {
  if (m_server) {
    m_server->close();
  }
}

RTC::ReturnCode_t TolvarineDriver::onInitialize() {
  addOutPort("VelocityCommand", m_command.port);
  addOutPort("RtcVelocityCommand", m_rtcCommand.port);
  addInPort("Velocity", m_velocity.port);
  addInPort("Odometry", m_odometry.port);
  addInPort("RtcVelocity", m_rtcVelocity.port);

  const std::string path = RTC::Manager::instance().getConfig().getProperty(
      "tolvarine.driver.control_socket", "./" + std::string(getInstanceName()) + ".sock");
  tolvarine_control::ServerLimits limits;
  limits.handlerThreads = 2;
  m_server.reset(new tolvarine_control::Server(*this, limits));
  try {
    m_server->listen(path);
  } catch (const std::exception& e) {
    std::cerr << "TolvarineDriver: " << e.what() << std::endl;
    m_server.reset();
    return RTC::RTC_ERROR;
  }
  std::cerr << "TolvarineDriver: control socket " << path << std::endl;
  return RTC::RTC_OK;
}

RTC::ReturnCode_t TolvarineDriver::onFinalize() {
  // Before the ports go: no client may write into them any more.
  if (m_server) {
    m_server->close();
  }
  return RTC::RTC_OK;
}

RTC::ReturnCode_t TolvarineDriver::onExecute(RTC::UniqueId /*ec_id*/) {
  std::vector<Received> received;
  // Velocities first: the pose of each velocity read here is in its buffer
  // already, so that sorting by time stamp publishes every cycle in the
  // order it was written.
  takeNew(m_velocity, 1, kVelocityPort, "Velocity", received);
  takeNew(m_rtcVelocity, 2, kVelocityPort, "RtcVelocity", received);
  takeNew(m_odometry, 0, kOdometryPort, "Odometry", received);
  std::stable_sort(received.begin(), received.end(), [](const Received& a, const Received& b) {
    return a.sec != b.sec ? a.sec < b.sec : a.nsec != b.nsec ? a.nsec < b.nsec : a.order < b.order;
  });
  for (const Received& r : received) {
    publish(r.port, r.via, r.sample);
  }
  return RTC::RTC_OK;
}

void TolvarineDriver::publish(const char* port, const char* via, const Json& sample) {
  std::string instance;
  {
    std::lock_guard<std::mutex> lock(m_peerMutex);
    instance = m_peerInstance;
  }
  if (instance.empty()) {
    RTC::RTObject_var peer = findPeer(instance);
  }
  if (!m_server) {
    return;
  }
  m_server->publish(port, Json{{"event", "sample"},
                               {"component", instance},
                               {"port", port},
                               {"via", via},
                               {"sample", sample}});
}

void TolvarineDriver::handle(const Request& request) {
  const std::string cmd = stringField(request.body(), "cmd", false);
  try {
    if (cmd == "list") {
      request.succeed(list());
    } else if (cmd == "activate" || cmd == "deactivate" || cmd == "reset") {
      transition(cmd, request);
    } else if (cmd == "get" || cmd == "set") {
      request.succeed(configuration(request.body()));
    } else if (cmd == "write") {
      request.succeed(write(request.body()));
    } else if (cmd == "subscribe" || cmd == "unsubscribe") {
      request.succeed(subscription(request));
    } else if (cmd == "shutdown") {
      // Ends this driver only; the wheelchair's process is its own.
      request.succeed();
      RTC::Manager::instance().terminate();
    } else {
      throw tolvarine_control::unknownCommand(
          cmd,
          "list, activate, deactivate, reset, get, set, write, subscribe, unsubscribe, "
          "shutdown");
    }
  } catch (const CORBA::Exception& e) {
    request.fail(std::string("the component did not answer the request (CORBA ") + e._name() + ")");
  }
}

Json TolvarineDriver::subscription(const Request& request) {
  const bool subscribe = request.command() == "subscribe";
  std::vector<std::string> names = tolvarine_control::portNames(request.body(), subscribe);
  if (names.empty()) {
    names = request.subscriptions();
  }
  for (std::string& name : names) {
    name = portName(name);
    if (subscribe) {
      request.subscribe(name);
    } else {
      request.unsubscribe(name);
    }
  }
  return Json{{subscribe ? "subscribed" : "unsubscribed", names}};
}

RTC::RTObject_ptr TolvarineDriver::findPeer(std::string& instance) {
  RTC::PortBase* ports[] = {&m_command.port, &m_velocity.port, &m_odometry.port, &m_rtcCommand.port,
                            &m_rtcVelocity.port};
  for (RTC::PortBase* port : ports) {
    RTC::ConnectorProfileList_var connectors = port->get_connector_profiles();
    for (CORBA::ULong c = 0; c < connectors->length(); ++c) {
      const RTC::PortServiceList& ends = connectors[c].ports;
      for (CORBA::ULong e = 0; e < ends.length(); ++e) {
        if (ends[e]->_is_equivalent(port->getPortRef())) {
          continue;
        }
        try {
          RTC::PortProfile_var profile = ends[e]->get_port_profile();
          RTC::RTObject_var owner = RTC::RTObject::_duplicate(profile->owner);
          RTC::ComponentProfile_var component = owner->get_component_profile();
          instance = static_cast<const char*>(component->instance_name);
          std::lock_guard<std::mutex> lock(m_peerMutex);
          m_peerInstance = instance;
          return owner._retn();
        } catch (const CORBA::SystemException&) {
          // A peer that has gone; its connector is dropped on the next write.
        }
      }
    }
  }
  return RTC::RTObject::_nil();
}

Json TolvarineDriver::list() {
  Json components = Json::array();
  std::string instance;
  RTC::RTObject_var peer = findPeer(instance);
  if (!CORBA::is_nil(peer)) {
    RTC::ComponentProfile_var profile = peer->get_component_profile();
    Json entry{{"instance", instance},
               {"type", static_cast<const char*>(profile->type_name)},
               {"category", static_cast<const char*>(profile->category)}};
    RTC::ExecutionContextList_var contexts = peer->get_owned_contexts();
    if (contexts->length() > 0) {
      entry["state"] = lifeCycleStateName(contexts[0]->get_component_state(peer));
      entry["rate"] = contexts[0]->get_rate();
    }
    Json ports = Json::array();
    RTC::PortServiceList_var services = peer->get_ports();
    for (CORBA::ULong i = 0; i < services->length(); ++i) {
      RTC::PortProfile_var port = services[i]->get_port_profile();
      const std::string kind = NVUtil::toString(port->properties, "port.port_type");
      ports.push_back(Json{{"direction", kind == "DataInPort"    ? "in"
                                         : kind == "DataOutPort" ? "out"
                                                                 : kind},
                           {"name", portName(static_cast<const char*>(port->name))},
                           {"type", NVUtil::toString(port->properties, "dataport.data_type")}});
    }
    entry["ports"] = ports;
    components.push_back(entry);
  }
  return Json{{"components", components}};
}

void TolvarineDriver::transition(const std::string& which, const Request& request) {
  std::string instance;
  RTC::RTObject_var peer = findPeer(instance);
  if (CORBA::is_nil(peer)) {
    throw RequestError("no component is connected to this driver");
  }
  RTC::ExecutionContextList_var contexts = peer->get_owned_contexts();
  if (contexts->length() == 0) {
    throw RequestError(instance + " has no execution context");
  }
  RTC::ExecutionContext_var context = RTC::ExecutionContext::_duplicate(contexts[0]);
  const RTC::ReturnCode_t code = which == "activate"     ? context->activate_component(peer)
                                 : which == "deactivate" ? context->deactivate_component(peer)
                                                         : context->reset_component(peer);
  tolvarine_control::answerTransition(
      request, instance, context->get_component_state(peer), code,
      which + " returned " + tolvarine_control::returnCodeName(code));
}

Json TolvarineDriver::configuration(const Json& request) {
  std::string instance;
  RTC::RTObject_var peer = findPeer(instance);
  if (CORBA::is_nil(peer)) {
    throw RequestError("no component is connected to this driver");
  }
  SDOPackage::Configuration_var admin = peer->get_configuration();
  SDOPackage::ConfigurationSet_var set = admin->get_active_configuration_set();
  Json config = Json::object();
  for (CORBA::ULong i = 0; i < set->configuration_data.length(); ++i) {
    const char* value = "";
    set->configuration_data[i].value >>= value;
    config[static_cast<const char*>(set->configuration_data[i].name)] = value;
  }
  const bool setting = request.value("cmd", "") == "set";
  const std::string key = stringField(request, "key", setting);
  // Refuses a key the component does not have before anything is set.
  Json reply = tolvarine_control::configReply(
      {{"component", instance}, {"set", static_cast<const char*>(set->id)}}, config, key);
  if (setting) {
    // Through the component's own configuration interface, as the
    // middleware's tools do: the component takes the value before its next
    // activation, or after the cycle under way when it is active.
    const std::string value = tolvarine_control::valueField(request);
    for (CORBA::ULong i = 0; i < set->configuration_data.length(); ++i) {
      if (key == static_cast<const char*>(set->configuration_data[i].name)) {
        set->configuration_data[i].value <<= value.c_str();
      }
    }
    if (!admin->set_configuration_set_values(set.in()) ||
        !admin->activate_configuration_set(set->id)) {
      throw RequestError(instance + " did not take " + key);
    }
    reply["value"] = value;
  }
  return reply;
}

Json TolvarineDriver::write(const Json& request) {
  const std::string port = portName(request.value("port", ""));
  if (port != kCommandPort) {
    throw RequestError("only \"" + std::string(kCommandPort) + "\" takes samples");
  }
  const Json& sample = tolvarine_control::sampleField(request);
  const Json data = sample.is_object() ? sample.value("data", Json::object()) : Json::object();
  const double vx = number(data, "vx");
  const double vy = number(data, "vy");
  const double va = number(data, "va");
  const std::string via = request.value("via", "VelocityCommand");
  if (via != "VelocityCommand" && via != "RtcVelocityCommand") {
    throw RequestError("\"via\" is VelocityCommand or RtcVelocityCommand");
  }
  std::lock_guard<std::mutex> lock(m_writeMutex);
  const bool written = via == "VelocityCommand" ? writeVelocity(m_command, vx, vy, va)
                                                : writeVelocity(m_rtcCommand, vx, vy, va);
  return Json{{"port", port}, {"via", via}, {"written", written}};
}

RTC::RTObject_impl* TolvarineDriverCreate(RTC::Manager* manager) {
  return new TolvarineDriver(manager);
}

void TolvarineDriverDelete(RTC::RTObject_impl* rtc) {
  delete rtc;
}

extern "C" {

void TolvarineDriverInit(RTC::Manager* manager) {
  coil::Properties profile(driver_spec);
  manager->registerFactory(profile, TolvarineDriverCreate, TolvarineDriverDelete);
}

}  // extern "C"
