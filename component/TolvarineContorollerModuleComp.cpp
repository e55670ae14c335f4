// -*- C++ -*-
// Process entry: starts the middleware manager, which registers and creates
// the one wheelchair component, and runs until the manager shuts down.
#include <cstdlib>
#include <iostream>

#include "TolvarineContorollerModule.h"

void moduleInitProc(RTC::Manager* manager) {
  TolvarineContorollerModuleInit(manager);
  RTC::RtcBase* comp = manager->createComponent("TolvarineContorollerModule");
  if (comp == NULL) {
    std::cerr << "Component create failed." << std::endl;
    abort();
  }
}

int main(int argc, char** argv) {
  RTC::Manager* manager = RTC::Manager::init(argc, argv);
  manager->setModuleInitProc(moduleInitProc);
  manager->activateManager();
  manager->runManager(false);
  return 0;
}
