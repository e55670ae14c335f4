// Console reports of the platform layer that read the same on every
// platform.

#include <iostream>
#include <string>

#include "platform/serial_platform.h"

namespace tolvarine_controller {
namespace platform {

void reportSetupFailure(const std::string& name, const std::string& why) {
  std::cerr << "connector error: " << name << " cannot be used as a serial port: " << why
            << std::endl;
}

}  // namespace platform
}  // namespace tolvarine_controller
