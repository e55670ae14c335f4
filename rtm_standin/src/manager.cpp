#include <rtm/Manager.h>

#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <stdexcept>

#include "host_log.h"
#include "manager_config.h"
#include "manager_core.h"

namespace rtm_standin {

namespace {

std::mutex g_instanceMutex;
// The current manager. A manager that has shut down is replaced (and
// deleted) by the next init(); the last one lives until the process ends.
RTC::Manager* g_manager = nullptr;

std::string baseName(const std::string& path) {
  return std::filesystem::path(path).filename().string();
}

}  // namespace

}  // namespace rtm_standin

namespace RTC {

using rtm_standin::ConfigError;

Manager::Manager() : m_core(new rtm_standin::ManagerCore(*this)) {}

Manager::~Manager() = default;

Manager* Manager::init(int argc, char** argv) {
  std::unique_lock<std::mutex> lock(rtm_standin::g_instanceMutex);
  if (rtm_standin::g_manager != nullptr && !rtm_standin::g_manager->m_core->finished()) {
    return rtm_standin::g_manager;
  }
  std::vector<std::string> args;
  for (int i = 0; i < argc && argv != nullptr; ++i) {
    args.push_back(argv[i] != nullptr ? argv[i] : "");
  }
  const std::string program = args.empty() ? std::string("rtm-standin") : args.front();

  rtm_standin::ManagerConfig config;
  try {
    rtm_standin::CommandLine line = rtm_standin::parseCommandLine(args);
    if (line.help) {
      lock.unlock();
      std::cout << rtm_standin::usage(rtm_standin::baseName(program)) << std::flush;
      std::exit(0);
    }
    for (const std::string& notice : line.notices) {
      rtm_standin::hostLog(notice);
    }
    config = rtm_standin::loadManagerConfig(line);
  } catch (const ConfigError& e) {
    lock.unlock();
    rtm_standin::hostLog(e.what());
    rtm_standin::hostLog("run " + rtm_standin::baseName(program) + " --help for the options");
    std::exit(2);
  }
  for (const std::string& warning : config.warnings) {
    rtm_standin::hostLog(warning);
  }

  Manager* previous = rtm_standin::g_manager;
  Manager* manager = new Manager();
  try {
    manager->m_core->setUp(program, config.properties);
  } catch (const std::exception& e) {
    lock.unlock();
    rtm_standin::hostLog(std::string("cannot start: ") + e.what());
    std::exit(2);
  } catch (const CORBA::Exception& e) {
    lock.unlock();
    rtm_standin::hostLog(std::string("cannot start the ORB: ") + e._name());
    std::exit(2);
  }
  rtm_standin::g_manager = manager;
  delete previous;
  return manager;
}

Manager& Manager::instance() {
  {
    std::lock_guard<std::mutex> lock(rtm_standin::g_instanceMutex);
    if (rtm_standin::g_manager != nullptr) {
      return *rtm_standin::g_manager;
    }
  }
  return *init(0, nullptr);
}

void Manager::setModuleInitProc(ModuleInitProc proc) {
  m_core->setModuleInitProc(proc);
}

bool Manager::activateManager() {
  return m_core->activate();
}

void Manager::runManager(bool no_block) {
  m_core->runManager(no_block);
}

void Manager::shutdown() {
  m_core->shutdown();
}

bool Manager::registerFactory(coil::Properties& profile, RtcNewFunc new_func,
                              RtcDeleteFunc delete_func) {
  return m_core->registerFactory(profile, new_func, delete_func);
}

std::vector<coil::Properties> Manager::getFactoryProfiles() {
  return m_core->factoryProfiles();
}

RTObject_impl* Manager::createComponent(const char* comp_args) {
  return m_core->createComponent(comp_args);
}

}  // namespace RTC
