// The command line of tolvarine-stick.
#ifndef TOLVARINE_TOOLS_STICK_STICK_OPTIONS_H
#define TOLVARINE_TOOLS_STICK_STICK_OPTIONS_H

#include <string>

#include "stick_axes.h"

namespace tolvarine_stick {

struct StickOptions {
  std::string device = "/dev/input/js0";
  std::string port;
  int direction = -1;     // the controller's mounting: -1 forward, 1 reversed
  double maxSpeed = 0.0;  // the controller's defaults, set by the caller
  double maxAcc = 0.0;
  AxisChoice axes;
  unsigned button = 0;
  unsigned watchMs = 100;  // longest time between two checks of the gamepad
};

// Fills `options`, whose values on entry are the defaults. Returns -1 to go
// on, otherwise the exit status: 0 after --help, 2 for a bad command line
// (the reason is on standard error).
int parseStickOptions(int argc, char** argv, StickOptions& options);

}  // namespace tolvarine_stick

#endif  // TOLVARINE_TOOLS_STICK_STICK_OPTIONS_H
