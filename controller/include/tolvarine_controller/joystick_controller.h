#ifndef TOLVARINE_CONTROLLER_JOYSTICK_CONTROLLER_H
#define TOLVARINE_CONTROLLER_JOYSTICK_CONTROLLER_H

#include "tolvarine_controller/auto_controller.h"
#include "tolvarine_controller/export.h"

namespace tolvarine_controller {

// Drives the chair from a two-axis stick through the ramped control of
// AutoController.
class TOLVARINE_CONTROLLER_API JoyStickController : public AutoController {
 public:
  // `maxSpeed`: wheel speed (m/s) at full deflection; `maxAcc` as in
  // AutoController. Either one not a finite number above 0 throws
  // std::invalid_argument.
  explicit JoyStickController(const double& maxSpeed = 0.5, const double& maxAcc = 0.7);
  ~JoyStickController() override;

  JoyStickController(const JoyStickController&) = delete;
  JoyStickController& operator=(const JoyStickController&) = delete;

  // x sideways (positive right), y forward, each nominally -1..1. Points
  // beyond the unit circle are taken on it, so no wheel exceeds maxSpeed.
  // Values that are not finite stop the chair.
  void setSendDataXY(const double& x, const double& y);
  // Applies from the next setSendDataXY; current targets stay. A speed that
  // is not a finite number above 0 throws std::invalid_argument and changes
  // nothing.
  void setMaxSpeed(const double& speed);

 protected:
  double maxSpeed;  // m/s
};

}  // namespace tolvarine_controller

#endif  // TOLVARINE_CONTROLLER_JOYSTICK_CONTROLLER_H
