// -*- C++ -*-
// Process entry: starts the middleware manager, which registers and creates
// the one wheelchair component, and runs until the manager shuts down.
#include <chrono>
#include <cstdlib>
#include <iostream>

#include "TolvarineContorollerModule.h"
#include "console_queue.h"

void moduleInitProc(RTC::Manager* manager) {
  TolvarineContorollerModuleInit(manager);
  RTC::RtcBase* comp = manager->createComponent("TolvarineContorollerModule");
  if (comp == NULL) {
    std::cerr << "Component create failed." << std::endl;
    // abort() runs no exit handlers; give the console its chance first.
    tolvarine_component::flushConsole(std::chrono::milliseconds(500));
    abort();
  }
}

int main(int argc, char** argv) {
  // Before the manager exists, so that no thread ever writes to the console
  // directly and a console that is not read cannot stall the control cycle.
  tolvarine_component::installConsoleQueue();

  RTC::Manager* manager = RTC::Manager::init(argc, argv);
  manager->setModuleInitProc(moduleInitProc);
  manager->activateManager();
  manager->runManager(false);
  return 0;
}
