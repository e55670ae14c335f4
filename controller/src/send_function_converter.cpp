#include "tolvarine_controller/send_function_converter.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>

namespace tolvarine_controller {

namespace {

constexpr double kHalfTreadMm = 274.4;  // half of the 548.8 mm wheel separation
constexpr std::uint8_t kForward = 0x41;
constexpr std::uint8_t kBackward = 0x40;

struct WheelByte {
  std::uint8_t direction;
  std::uint8_t speed;
};

// count = floor(mm/s / 1000 * gain + offset). Values that are not a number
// or do not fit 32 bits cannot be expressed and become a standstill.
WheelByte encodeWheel(double velocityMmS, double gain, double offset) {
  const double count = std::floor(velocityMmS / 1000.0 * gain + offset);
  if (!(count >= -2147483648.0 && count <= 2147483647.0)) {
    return {kBackward, 0};
  }
  const std::int64_t n = static_cast<std::int64_t>(count);
  const std::int64_t magnitude = std::llabs(n);
  return {n > 0 ? kForward : kBackward,
          static_cast<std::uint8_t>(magnitude > 255 ? 255 : magnitude)};
}

// The wheel speed (mm/s) at which the speed byte reaches `count` (+255 or
// -255) and saturates. A command beyond it sends the same byte, so the
// automatic controller clamps to it: a ramp that ran on past it would leave
// the chair at full speed long after a stop command. Nudged outward by the
// last ulp where the division rounds short, so that the limit itself still
// encodes as the full count.
double saturatingSpeed(int count, double gain, double offset) {
  double speed = (count - offset) / gain * 1000.0;
  const double outward = count > 0 ? HUGE_VAL : -HUGE_VAL;
  while (count > 0 ? std::floor(speed / 1000.0 * gain + offset) < count
                   : std::floor(speed / 1000.0 * gain + offset) > count) {
    speed = std::nextafter(speed, outward);
  }
  return speed;
}

}  // namespace

SendConverter::~SendConverter() = default;

SendFunctionConverter::SendFunctionConverter()
    : rightGain(0x1.ed2aaaaaaaaaap+6),
      rightOffset(0.0),
      leftGain(0x1.f1aaaaaaaaaacp+6),
      leftOffset(0.0) {
  rightMax = saturatingSpeed(255, rightGain, rightOffset);
  rightMin = saturatingSpeed(-255, rightGain, rightOffset);
  leftMax = saturatingSpeed(255, leftGain, leftOffset);
  leftMin = saturatingSpeed(-255, leftGain, leftOffset);
}

SendFunctionConverter::~SendFunctionConverter() = default;

SendData SendFunctionConverter::convertVRL(const double& right, const double& left) {
  // The sign convention follows the mounting; the wheels keep their bytes.
  const double r = direction == -1 ? right : -right;
  const double l = direction == -1 ? -left : left;

  SendData data;
  const WheelByte rightByte = encodeWheel(r, rightGain, rightOffset);
  const WheelByte leftByte = encodeWheel(l, leftGain, leftOffset);
  data.rightDirection = rightByte.direction;
  data.rightSpeed = rightByte.speed;
  data.leftDirection = leftByte.direction;
  data.leftSpeed = leftByte.speed;
  return data;
}

SendData SendFunctionConverter::convertRV(const double& radius, const double& velocity) {
  const double w = velocity / radius;
  const double right = w * (radius + kHalfTreadMm);
  const double left = w * (radius - kHalfTreadMm);
  return convertVRL(right, left);  // virtual: a derived converter's encoding applies
}

}  // namespace tolvarine_controller
