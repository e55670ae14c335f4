#include "tolvarine_controller/joystick_controller.h"

#include <cmath>
#include <iostream>
#include <sstream>
#include <stdexcept>

namespace tolvarine_controller {

namespace {

constexpr double kStickDeadBand = 0.1;  // smaller deflections count as 0

// A speed that is not a positive number would invert the stick, stop the
// chair for good, or drive it at no bound at all.
double checkedMaxSpeed(double maxSpeed) {
  if (!(std::isfinite(maxSpeed) && maxSpeed > 0)) {
    std::ostringstream message;
    message << "JoyStickController: maxSpeed must be a finite speed above 0 m/s, not " << maxSpeed;
    throw std::invalid_argument(message.str());
  }
  return maxSpeed;
}

}  // namespace

JoyStickController::JoyStickController(const double& maxSpeed_, const double& maxAcc_)
    : AutoController(maxAcc_), maxSpeed(checkedMaxSpeed(maxSpeed_)) {}

JoyStickController::~JoyStickController() = default;

void JoyStickController::setSendDataXY(const double& stickX, const double& stickY) {
  if (!std::isfinite(stickX) || !std::isfinite(stickY)) {
    if (rejectCommand()) {
      std::cerr << "JoyStickController: rejected setSendDataXY(x=" << stickX << ", y=" << stickY
                << "), stopping the chair" << std::endl;
    }
    return;
  }
  double x = stickX;
  double y = stickY;
  double r = std::sqrt(x * x + y * y);
  if (std::isinf(r)) {
    r = std::hypot(x, y);  // the squares overflowed, the length did not
  }
  // The outer wheel takes the stick length; beyond the unit circle that is
  // the scaled length 1, so no wheel ever exceeds maxSpeed.
  double length = r;
  if (r > 1) {
    x /= r;
    y /= r;
    length = 1.0;
  }
  if (std::fabs(x) < kStickDeadBand) {
    x = 0.0;
  }
  if (std::fabs(y) < kStickDeadBand) {
    y = 0.0;
  }

  double right;
  double left;
  if (y != 0) {
    const double outer = y > 0 ? length : -length;
    if (x >= 0) {
      right = y;  // turning right: the left wheel runs outside
      left = outer;
    } else {
      right = outer;
      left = y;
    }
  } else {
    // Sideways only: turn on the spot.
    right = -0.5 * x;
    left = 0.5 * x;
  }
  setSendDataVRL(right * maxSpeed, left * maxSpeed);
}

void JoyStickController::setMaxSpeed(const double& speed) {
  maxSpeed = checkedMaxSpeed(speed);
}

}  // namespace tolvarine_controller
