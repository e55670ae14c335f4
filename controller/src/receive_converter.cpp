#include "tolvarine_controller/receive_converter.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>

namespace tolvarine_controller {

namespace {

constexpr int kCountCentre = 128;                      // a count of 128 is standstill
constexpr double kSpeedPerCount = 19.533333333333335;  // mm/s per count, nearest to 293/15
constexpr int kDeadBand = 1;                           // counts either side of the centre
constexpr double kTreadMm = 548.8;                     // distance between the drive wheels
constexpr double kUnit = 1000.0;                       // ms -> s and mm -> m

}  // namespace

ReceiveConverter::ReceiveConverter(int direction_) : direction(direction_) {}

ReceiveConverter::~ReceiveConverter() = default;

WheelStatus ReceiveConverter::toWheelStatus(const ReceiveData& frame) const {
  // The board's millisecond counter is unsigned; a wrapped difference must
  // not turn into a negative time.
  const double t = static_cast<double>(static_cast<std::uint32_t>(frame.elapsed));
  const int a = kCountCentre - static_cast<int>(frame.wheelSpeed2);
  const int b = kCountCentre - static_cast<int>(frame.wheelSpeed1);

  WheelStatus wheel;
  wheel.time = t / kUnit;
  // The forward mounting counts the right wheel (byte 4) forward above the
  // centre and the left wheel (byte 3) forward below it; the reversed
  // mounting is the same chair driven back first. The order of the products
  // is kept so that results match to the last bit.
  if (direction == -1) {
    wheel.right = a * (-kSpeedPerCount) * t / kUnit;
    wheel.left = b * kSpeedPerCount * t / kUnit;
  } else {
    wheel.right = b * (-kSpeedPerCount) * t / kUnit;
    wheel.left = a * kSpeedPerCount * t / kUnit;
  }
  if (std::abs(a) <= kDeadBand && std::abs(b) <= kDeadBand) {
    wheel.right = 0.0;
    wheel.left = 0.0;
  }
  return wheel;
}

Odometory ReceiveConverter::integrate(const Odometory& current, const WheelStatus& wheel) const {
  const double theta = current.total.theta;
  double dx;
  double dy;
  double dtheta;
  if (wheel.right == wheel.left) {
    // Straight: the arc formula would divide by zero.
    const double s = wheel.left / kUnit;
    dx = s * std::cos(theta);
    dy = s * std::sin(theta);
    dtheta = 0.0;
  } else {
    // Arc about the instantaneous centre of rotation.
    dtheta = (wheel.right - wheel.left) / kTreadMm;
    const double radius =
        kTreadMm * (wheel.right + wheel.left) / (2 * (wheel.right - wheel.left)) / kUnit;
    dx = radius * (std::sin(theta + dtheta) - std::sin(theta));
    dy = -radius * (std::cos(theta + dtheta) - std::cos(theta));
  }

  Odometory result = current;
  result.total.x += dx;
  result.total.y += dy;
  result.total.theta += dtheta;
  result.total.distance += std::sqrt(dx * dx + dy * dy);
  result.total.time += wheel.time;
  return result;
}

Odometory ReceiveConverter::convert(const std::vector<ReceiveData>& frames,
                                    const Odometory& previous) {
  step = WheelStatus();
  Odometory result = previous;
  for (const ReceiveData& frame : frames) {
    const WheelStatus wheel = toWheelStatus(frame);
    result = integrate(result, wheel);
    step.right += wheel.right;
    step.left += wheel.left;
    step.time += wheel.time;
  }

  // The increment is reported in the robot frame at the heading from before
  // the update.
  const double deltaX = result.total.x - previous.total.x;
  const double deltaY = result.total.y - previous.total.y;
  const double phi = -previous.total.theta;
  result.step.x = deltaX * std::cos(phi) - deltaY * std::sin(phi);
  result.step.y = deltaX * std::sin(phi) + deltaY * std::cos(phi);
  result.step.theta = result.total.theta - previous.total.theta;
  result.step.time = result.total.time - previous.total.time;
  result.step.distance = result.total.distance - previous.total.distance;

  total.right += step.right;
  total.left += step.left;
  total.time += step.time;
  return result;
}

}  // namespace tolvarine_controller
