#ifndef TOLVARINE_CONTROLLER_RECEIVE_CONVERTER_H
#define TOLVARINE_CONTROLLER_RECEIVE_CONVERTER_H

#include <vector>

#include "tolvarine_controller/export.h"
#include "tolvarine_controller/odometory.h"
#include "tolvarine_controller/receive_data.h"
#include "tolvarine_controller/wheel_status.h"

namespace tolvarine_controller {

// Turns the wheel counts of status frames into wheel travel and integrates
// that travel into the odometry.
class TOLVARINE_CONTROLLER_API ReceiveConverter {
 public:
  // -1 selects the forward mounting, any other value the reversed one.
  explicit ReceiveConverter(int direction = -1);
  ReceiveConverter(const ReceiveConverter&) = default;
  ReceiveConverter& operator=(const ReceiveConverter&) = default;
  virtual ~ReceiveConverter();

  // Wheel travel of one frame over its `elapsed` milliseconds.
  WheelStatus toWheelStatus(const ReceiveData& frame) const;
  // One pose step on the arc that the two wheel travels describe; `step` of
  // the result is that of `current`.
  Odometory integrate(const Odometory& current, const WheelStatus& wheel) const;
  // Integrates every frame in order into `previous`, rewrites `step` (of the
  // result and of this converter) and adds to the wheel totals.
  Odometory convert(const std::vector<ReceiveData>& frames, const Odometory& previous);

  int direction;
  WheelStatus step;   // wheel travel of the last convert
  WheelStatus total;  // wheel travel since construction
};

}  // namespace tolvarine_controller

#endif  // TOLVARINE_CONTROLLER_RECEIVE_CONVERTER_H
