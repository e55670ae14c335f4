// The stand-in's manager behind RTC::Manager: component factories and
// instances, the control socket (whose server also takes SIGINT and SIGTERM),
// and the shutdown, which runs once: components first, then the socket, then
// the components' deletion and the ORB.
#ifndef RTM_STANDIN_MANAGER_CORE_H
#define RTM_STANDIN_MANAGER_CORE_H

#include <algorithm>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <rtm/Manager.h>
#include <tolvarine_control/server.h>

#include "component_host.h"
#include "control_requests.h"
#include "host_log.h"
#include "manager_config.h"

namespace rtm_standin {

class ManagerCore {
 public:
  explicit ManagerCore(RTC::Manager& owner) : m_owner(owner) {}

  ~ManagerCore() {
    doShutdown();
    joinTerminator();
  }

  void setUp(const std::string& program, const coil::Properties& config) {
    m_config = config;
    std::vector<char> arg0(program.begin(), program.end());
    arg0.push_back('\0');
    char* argv[] = {arg0.data(), nullptr};
    int argc = 1;
    m_orb = CORBA::ORB_init(argc, argv);

    // The control server's thread also takes SIGINT and SIGTERM, from now
    // on: a signal during start-up waits for the step under way.
    m_server.reset(new tolvarine_control::Server(m_requests));
    m_requests.attach(m_server.get());
    m_server->catchSignals([this](int signo) {
      hostLog(std::string("received ") + (signo == SIGINT ? "SIGINT" : "SIGTERM") +
              "; shutting down");
      terminate();
    });
  }

  bool finished() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_shutdownDone;
  }

  // The running components; they stay valid while the control server runs.
  std::vector<ComponentHost*> components() {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<ComponentHost*> out;
    for (const auto& host : m_components) {
      out.push_back(host.get());
    }
    return out;
  }

  // ---- manager operations ------------------------------------------------------

  void setModuleInitProc(RTC::Manager::ModuleInitProc proc) { m_initProc = proc; }

  bool activate() {
    std::lock_guard<std::recursive_mutex> life(m_lifecycle);
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      if (m_shutdownStarted) {
        return false;
      }
      if (m_activated) {
        hostLog("activateManager: the manager is already active");
        return false;
      }
      m_activated = true;
    }
    if (m_initProc != nullptr) {
      m_initProc(&m_owner);
    }
    for (const std::string& type : coil::split(m_config.getProperty(kPrecreateKey), ",", true)) {
      createComponent(type.c_str());
    }
    if (!m_config.getProperty(kPreconnectKey).empty()) {
      hostLog(std::string(kPreconnectKey) +
              " has no effect here; write samples to in-ports through the control socket");
    }

    const std::string path = controlSocketPath();
    try {
      if (m_server->listen(path)) {
        hostLog("replaced the stale control socket " + path);
      }
      m_listening = true;
      m_socketPath = path;
    } catch (const std::exception& e) {
      hostLog(std::string(e.what()) + " (" + kControlSocketKey + ")");
      hostLog("not starting");
      doShutdown();
      joinTerminator();
      std::exit(1);
    }
    hostLog("control socket " + path);

    for (const std::string& name :
         coil::split(m_config.getProperty(kPreactivationKey), ",", true)) {
      const std::vector<ComponentHost*> hosts = components();
      auto host = std::find_if(hosts.begin(), hosts.end(),
                               [&](ComponentHost* h) { return h->instanceName() == name; });
      if (host == hosts.end()) {
        hostLog(std::string(kPreactivationKey) + ": no component named \"" + name + "\"");
        continue;
      }
      TransitionResult r = (*host)->transition(Transition::Activate);
      if (r.code != RTC::RTC_OK) {
        hostLog("preactivation of " + name + " failed: " + r.message);
      }
    }
    return true;
  }

  void runManager(bool noBlock) {
    if (noBlock || inHostThread()) {
      return;
    }
    {
      std::unique_lock<std::mutex> lock(m_mutex);
      m_changed.wait(lock, [this] { return m_shutdownDone; });
    }
    joinTerminator();
  }

  void shutdown() {
    if (inHostThread()) {
      terminate();
      return;
    }
    doShutdown();
    joinTerminator();
  }

  // Starts the shutdown in a thread of its own, for a signal, a client or
  // a component's hook, none of which may wait for it.
  void terminate() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_shutdownStarted && !m_terminator.joinable()) {
      m_terminator = std::thread([this] {
        markHostThread();
        doShutdown();
      });
    }
  }

  bool registerFactory(coil::Properties& profile, RTC::RtcNewFunc create,
                       RTC::RtcDeleteFunc destroy) {
    const std::string id = profile.getProperty("implementation_id");
    const std::string type = profile.getProperty("type_name");
    if ((id.empty() && type.empty()) || create == nullptr) {
      hostLog("registerFactory: the profile names no implementation_id or type_name");
      return false;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const Factory& f : m_factories) {
      if (f.id == id && f.type == type) {
        return false;
      }
    }
    m_factories.push_back({id, type, profile, create, destroy});
    return true;
  }

  std::vector<coil::Properties> factoryProfiles() {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<coil::Properties> out;
    for (const Factory& f : m_factories) {
      out.push_back(f.profile);
    }
    return out;
  }

  RTC::RTObject_impl* createComponent(const char* compArgs) {
    const std::string args = compArgs != nullptr ? compArgs : "";
    std::lock_guard<std::recursive_mutex> life(m_lifecycle);
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      if (m_shutdownStarted) {
        hostLog("cannot create \"" + args + "\": the manager is shutting down");
        return nullptr;
      }
    }
    try {
      auto parsed = parseComponentArgs(args);
      const Factory factory = findFactory(parsed.first);
      const std::string instance = instanceName(factory, parsed.second);
      coil::Properties props;
      double rate = 0;
      try {
        props = componentProperties(m_config, factory.profile, instance, parsed.second);
        rate = componentRate(props, m_config);
      } catch (const ConfigError& e) {
        // The component's configuration (its file, its rate) is wrong: the
        // process cannot run as configured, so it ends as for an error in
        // its own configuration.
        hostLog("cannot create \"" + args + "\": " + e.what());
        hostLog("not starting");
        doShutdown();
        joinTerminator();
        std::exit(2);
      }

      RTC::RTObject_impl* component = factory.create(&m_owner);
      if (component == nullptr) {
        throw ConfigError("its factory returned no component");
      }
      component->getProperties() << props;
      auto host =
          std::unique_ptr<ComponentHost>(new ComponentHost(component, factory.destroy, rate));
      const coil::Properties* set = props.findNode("conf.default");
      host->config().setValues(instance, set != nullptr ? *set : coil::Properties());

      RTC::ReturnCode_t rc = host->initialize();
      if (rc != RTC::RTC_OK) {
        hostLog(instance + ": onInitialize returned " + returnCodeName(rc) +
                "; the component is finalized and deleted");
        host->finalize();
        host->destroy();
        return nullptr;
      }
      host->start();
      {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_components.push_back(std::move(host));
      }
      hostLog(instance + ": created, execution context at " + coil::otos(rate) + " Hz");
      return component;
    } catch (const ConfigError& e) {
      hostLog("cannot create \"" + args + "\": " + e.what());
      return nullptr;
    }
  }

  // ---- shutdown ------------------------------------------------------------------

  // The components first, in the order of creation: each one's exit()
  // deactivates it (which stops whatever it drives) and finalizes it, and
  // nothing a client does can hold that up. Then the control socket (the
  // clients are told and get a short final flush), then the components are
  // deleted through their factories, then the ORB. Runs once; later callers
  // wait for it to finish.
  void doShutdown() {
    bool first = false;
    {
      std::lock_guard<std::recursive_mutex> life(m_lifecycle);
      std::lock_guard<std::mutex> lock(m_mutex);
      first = !m_shutdownStarted;
      m_shutdownStarted = true;
    }
    if (!first) {
      std::unique_lock<std::mutex> lock(m_mutex);
      m_changed.wait(lock, [this] { return m_shutdownDone; });
      return;
    }
    // The control socket keeps serving meanwhile: its clients see the
    // components go inactive, and transitions they ask for are refused.
    for (ComponentHost* host : components()) {
      host->shutDown();
    }
    std::vector<std::unique_ptr<ComponentHost>> hosts;
    if (m_server && m_listening) {
      m_server->close();
      hostLog("closed the control socket " + m_socketPath);
    }
    m_requests.detachPorts();
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      hosts.swap(m_components);
    }
    for (auto& host : hosts) {
      host->destroy();
    }
    hosts.clear();
    if (!CORBA::is_nil(m_orb.in())) {
      try {
        m_orb->destroy();
      } catch (const CORBA::Exception& e) {
        hostLog(std::string("ORB shutdown: ") + e._name());
      }
      m_orb = CORBA::ORB::_nil();
    }
    // SIGINT and SIGTERM end the process again from here on.
    m_requests.attach(nullptr);
    m_server.reset();
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_shutdownDone = true;
    }
    m_changed.notify_all();
  }

  // Once the shutdown has started; later callers wait for the first.
  void joinTerminator() {
    std::lock_guard<std::mutex> join(m_joinMutex);
    std::thread terminator;
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      if (m_terminator.get_id() != std::this_thread::get_id()) {
        terminator.swap(m_terminator);
      }
    }
    if (terminator.joinable()) {
      terminator.join();
    }
  }

 private:
  struct Factory {
    std::string id;
    std::string type;
    coil::Properties profile;
    RTC::RtcNewFunc create;
    RTC::RtcDeleteFunc destroy;
  };

  Factory findFactory(const std::string& name) {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const Factory& f : m_factories) {
      if (f.id == name) {
        return f;
      }
    }
    for (const Factory& f : m_factories) {
      if (f.type == name) {
        return f;
      }
    }
    std::string known;
    for (const Factory& f : m_factories) {
      known += (known.empty() ? "" : ", ") + (f.id.empty() ? f.type : f.id);
    }
    throw ConfigError("no component type of that name is registered (registered: " +
                      (known.empty() ? std::string("none") : known) + ")");
  }

  std::string instanceName(const Factory& factory, const coil::Properties& args) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto taken = [this](const std::string& name) {
      return std::any_of(
          m_components.begin(), m_components.end(),
          [&](const std::unique_ptr<ComponentHost>& h) { return h->instanceName() == name; });
    };
    const std::string type = factory.type.empty() ? factory.id : factory.type;
    long maxInstances = std::atol(factory.profile.getProperty("max_instance").c_str());
    if (maxInstances > 0) {
      long count = std::count_if(
          m_components.begin(), m_components.end(),
          [&](const std::unique_ptr<ComponentHost>& h) { return h->typeName() == type; });
      if (count >= maxInstances) {
        throw ConfigError("max_instance (" + std::to_string(maxInstances) + ") reached");
      }
    }
    std::string requested = args.getProperty("instance_name");
    if (!requested.empty()) {
      if (taken(requested)) {
        throw ConfigError("a component named \"" + requested + "\" exists already");
      }
      return requested;
    }
    for (unsigned n = 0;; ++n) {
      std::string name = type + std::to_string(n);
      if (!taken(name)) {
        return name;
      }
    }
  }

  std::string controlSocketPath() {
    std::string path = m_config.getProperty(kControlSocketKey);
    if (!path.empty()) {
      return path;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    std::string name = m_components.empty()
                           ? m_config.getProperty("manager.instance_name", "manager")
                           : m_components.front()->instanceName();
    return "./" + name + ".sock";
  }

  RTC::Manager& m_owner;
  coil::Properties m_config;
  CORBA::ORB_var m_orb;
  RTC::Manager::ModuleInitProc m_initProc = nullptr;

  // Held while components are created, the manager is activated, and the
  // shutdown begins: a signal during start-up waits for the step under way.
  std::recursive_mutex m_lifecycle;
  std::mutex m_mutex;  // everything below
  std::condition_variable m_changed;
  std::vector<Factory> m_factories;
  std::vector<std::unique_ptr<ComponentHost>> m_components;
  bool m_activated = false;
  bool m_shutdownStarted = false;
  bool m_shutdownDone = false;

  bool m_listening = false;
  std::string m_socketPath;

  ControlRequests m_requests{*this};
  std::unique_ptr<tolvarine_control::Server> m_server;
  std::thread m_terminator;
  std::mutex m_joinMutex;
};

}  // namespace rtm_standin

#endif  // RTM_STANDIN_MANAGER_CORE_H
