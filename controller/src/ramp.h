#ifndef TOLVARINE_CONTROLLER_RAMP_H
#define TOLVARINE_CONTROLLER_RAMP_H

namespace tolvarine_controller {

// One control cycle is one link cycle; the ramp takes its length as a fixed
// number rather than measuring it.
constexpr double kControlPeriodS = 0.03;

// Largest change of a wheel command per cycle, mm/s. Evaluated in this order
// so that 0.7 m/s^2 gives exactly the double 20.999999999999996.
inline double accelerationStep(double maxAccMs2) {
  return maxAccMs2 * kControlPeriodS * 1000;
}

// The next command of one wheel: one step toward the target, or the target
// itself once it is no more than one step away, so the ramp lands on it
// exactly. Zero gets no special treatment on the way through.
inline double rampToward(double command, double target, double step) {
  const double difference = target - command;
  const double sign = difference > 0 ? 1.0 : (difference < 0 ? -1.0 : 0.0);
  const double magnitude = difference < 0 ? -difference : difference;
  if (magnitude / step > 1) {
    return command + sign * step;
  }
  return target;
}

}  // namespace tolvarine_controller

#endif  // TOLVARINE_CONTROLLER_RAMP_H
