// Process entry of the PoseIntegrator example: one manager, one component.
#include <cstdlib>
#include <iostream>

#include "PoseIntegrator.h"

static void MyModuleInit(RTC::Manager* manager) {
  PoseIntegratorInit(manager);
  RTC::RTObject_impl* comp = manager->createComponent("PoseIntegrator");
  if (comp == NULL) {
    std::cerr << "Component create failed." << std::endl;
    abort();
  }
}

int main(int argc, char** argv) {
  RTC::Manager* manager = RTC::Manager::init(argc, argv);
  manager->setModuleInitProc(MyModuleInit);
  manager->activateManager();
  manager->runManager();
  return 0;
}
