#ifndef TOLVARINE_CONTROLLER_WHEEL_STATUS_H
#define TOLVARINE_CONTROLLER_WHEEL_STATUS_H

#include "tolvarine_controller/export.h"

namespace tolvarine_controller {

// Travel of the two drive wheels over some span of time. Wheel figures stay
// in millimetres; only the pose is kept in metres.
class TOLVARINE_CONTROLLER_API WheelStatus {
 public:
  double time = 0.0;   // s
  double right = 0.0;  // mm, forward positive
  double left = 0.0;   // mm, forward positive
};

}  // namespace tolvarine_controller

#endif  // TOLVARINE_CONTROLLER_WHEEL_STATUS_H
