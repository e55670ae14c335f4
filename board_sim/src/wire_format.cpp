#include "wire_format.h"

#include <algorithm>
#include <cmath>

namespace tolvarine_board_sim {
namespace {

constexpr std::uint8_t kEscapedCheck = 0xFD;

constexpr std::uint8_t kDirectionPositive = 0x41;
constexpr std::uint8_t kDirectionNegative = 0x40;

// Counts per m/s with which the controller encodes the wheel speeds.
constexpr double kRightGain = 123.29166666666666;
constexpr double kLeftGain = 124.41666666666669;
// mm/s per count of the reported wheel speeds (293/15).
constexpr double kWheelCountUnit = 19.533333333333335;
constexpr int kWheelCountCentre = 128;

// Motor speed (m/s, forward positive) commanded by one direction/speed pair.
// `sense` is +1 when the positive direction byte drives the motor forward.
double commandedSpeed(std::uint8_t direction, std::uint8_t speed, double gain, double sense) {
  if (direction == kDirectionPositive) {
    return sense * speed / gain;
  }
  if (direction == kDirectionNegative) {
    return -sense * speed / gain;
  }
  return 0.0;
}

}  // namespace

std::uint8_t checkByte(const std::uint8_t* bytes, std::size_t count) {
  unsigned sum = 0;
  for (std::size_t i = 0; i < count; ++i) {
    sum += bytes[i];
  }
  const auto check = static_cast<std::uint8_t>(sum & 0xFFu);
  // A check byte never looks like a start byte.
  return check == kStartOfFrame ? kEscapedCheck : check;
}

MotorSpeeds commandedSpeeds(const std::uint8_t* frame) {
  MotorSpeeds wanted;
  // Left motor: the positive direction byte drives it backward.
  wanted.left = commandedSpeed(frame[1], frame[3], kLeftGain, -1.0);
  wanted.right = commandedSpeed(frame[2], frame[4], kRightGain, +1.0);
  return wanted;
}

std::uint8_t wheelCount(double metresPerSecond, int sense, double* carry) {
  double counts = metresPerSecond * 1000.0 / kWheelCountUnit;
  if (!std::isfinite(counts)) {
    if (carry != nullptr) {
      *carry = 0.0;
    }
    return static_cast<std::uint8_t>(kWheelCountCentre);
  }
  if (carry != nullptr) {
    counts += *carry;
  }
  const long rounded = std::lround(std::clamp(counts, -1000.0, 1000.0));
  const long value = kWheelCountCentre + sense * rounded;
  const long reported = std::clamp(value, 0L, 255L);
  if (carry != nullptr) {
    *carry = reported == value ? counts - static_cast<double>(rounded) : 0.0;
  }
  return static_cast<std::uint8_t>(reported);
}

}  // namespace tolvarine_board_sim
