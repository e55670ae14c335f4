// -*- C++ -*-
// tolvarine-rtm-driver: one TolvarineDriver in an OpenRTM-aist manager,
// configured by rtc.conf (-f) like any component process. The key
// tolvarine.driver.control_socket names its control socket.
#include <cstdlib>
#include <iostream>

#include "TolvarineDriver.h"

namespace {

void moduleInit(RTC::Manager* manager) {
  TolvarineDriverInit(manager);
  if (manager->createComponent("TolvarineDriver") == NULL) {
    std::cerr << "TolvarineDriver: the component could not be created" << std::endl;
    std::exit(1);
  }
}

}  // namespace

int main(int argc, char** argv) {
  RTC::Manager* manager = RTC::Manager::init(argc, argv);
  manager->setModuleInitProc(moduleInit);
  manager->activateManager();
  manager->runManager(false);
  return 0;
}
