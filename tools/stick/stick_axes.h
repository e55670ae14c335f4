// Which of the gamepad's axes is the stick, and how its readings become the
// controller's stick inputs: x sideways (positive right), y forward, each
// -1..1.
#ifndef TOLVARINE_TOOLS_STICK_STICK_AXES_H
#define TOLVARINE_TOOLS_STICK_STICK_AXES_H

#include <cstdint>

#include "gamepad_events.h"

namespace tolvarine_stick {

struct StickPosition {
  double x = 0.0;  // sideways, positive right
  double y = 0.0;  // positive forward
};

struct AxisChoice {
  unsigned x = 0;  // the first stick of most pads: axis 0 sideways, axis 1 up and down
  unsigned y = 1;
  bool invertX = false;
  bool invertY = false;
};

// The joystick API reads -32767 (left, up) to 32767 (right, down); some
// drivers also give -32768. A reading as a fraction of full deflection.
double axisFraction(std::int16_t reading);

// Up on the stick (a negative reading) is forward.
StickPosition stickPosition(const GamepadState& state, const AxisChoice& axes);

}  // namespace tolvarine_stick

#endif  // TOLVARINE_TOOLS_STICK_STICK_AXES_H
