// RTC::Manager: starts, runs and shuts down the components of a process
// (stand-in host, C++14). Components run in-process, each in its own
// periodic execution context; other processes reach them through the host's
// control socket.
#ifndef RTM_MANAGER_H
#define RTM_MANAGER_H

#include <memory>
#include <string>
#include <vector>

#include <coil/Properties.h>
#include <rtm/RTC.h>
#include <rtm/RTObject.h>

namespace rtm_standin {
class ManagerCore;
}  // namespace rtm_standin

namespace RTC {

class Manager {
 public:
  typedef void (*ModuleInitProc)(Manager* manager);

  // Creates and configures the manager (once per process, or again after a
  // shutdown). A bad option or configuration file is reported on std::cerr
  // and ends the process with status 2; --help prints the options and ends
  // it with status 0.
  static Manager* init(int argc, char** argv);
  // The manager; created with no arguments when init() was not called.
  static Manager& instance();

  void setModuleInitProc(ModuleInitProc proc);
  // Runs the module-init procedure, creates the components listed in
  // manager.components.precreate, opens the control socket and activates
  // the components listed in manager.components.preactivation.
  bool activateManager();
  // Blocks until the manager has shut down; with `no_block` returns at once
  // (the components run in their own threads either way).
  void runManager(bool no_block = false);
  // Shuts down now: first every component's exit(), which stops whatever it
  // drives, then the control socket, the components and the ORB.
  void shutdown();

  bool registerFactory(coil::Properties& profile, RtcNewFunc new_func, RtcDeleteFunc delete_func);
  std::vector<coil::Properties> getFactoryProfiles();
  // `comp_args`: "<type_name>" or "<type_name>?key=value&key=value".
  // Instances are named <type_name>0, <type_name>1, ...
  RTObject_impl* createComponent(const char* comp_args);

  ~Manager();
  Manager(const Manager&) = delete;
  Manager& operator=(const Manager&) = delete;

 private:
  Manager();
  std::unique_ptr< ::rtm_standin::ManagerCore> m_core;
  friend class ::rtm_standin::ManagerCore;
};

}  // namespace RTC

#endif  // RTM_MANAGER_H
