#include "stick_axes.h"

#include <algorithm>

namespace tolvarine_stick {

namespace {

constexpr double kFullDeflection = 32767.0;

}  // namespace

double axisFraction(std::int16_t reading) {
  return std::clamp(reading / kFullDeflection, -1.0, 1.0);
}

StickPosition stickPosition(const GamepadState& state, const AxisChoice& axes) {
  const double sideways = axisFraction(state.axis(axes.x));
  const double down = axisFraction(state.axis(axes.y));
  StickPosition stick;
  // 0.0 - v rather than -v: a centred axis reads +0, not -0.
  stick.x = axes.invertX ? 0.0 - sideways : sideways;
  stick.y = axes.invertY ? down : 0.0 - down;
  return stick;
}

}  // namespace tolvarine_stick
