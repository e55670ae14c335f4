#include "chair_model.h"

#include <algorithm>
#include <cmath>

namespace tolvarine_board_sim {
namespace {

constexpr double kTread = 0.5488;  // m

double rateLimit(double current, double wanted, double maxChange) {
  if (maxChange <= 0.0) {
    return wanted;
  }
  return current + std::clamp(wanted - current, -maxChange, maxChange);
}

}  // namespace

void ChairModel::reset(Clock::time_point now) {
  simStart_ = now;
  simSteps_ = 0;
  pose_ = ChairPose();
  target_ = limited_ = motors_ = MotorSpeeds();
  lastCommandAt_ = now;
  watchdogTripped_ = false;
}

void ChairModel::advanceTo(Clock::time_point now) {
  Clock::time_point expiry;
  if (watchdogDeadline(expiry) && now >= expiry) {
    // The motors stop at the moment the watchdog ran out.
    advanceSteps(expiry);
    watchdogTripped_ = true;
    setTarget(MotorSpeeds());
  }
  advanceSteps(now);
}

void ChairModel::command(const MotorSpeeds& wanted, Clock::time_point at) {
  // The command takes effect at its arrival.
  advanceTo(at);
  setTarget(wanted);
  lastCommandAt_ = at;
  watchdogTripped_ = false;
}

bool ChairModel::watchdogDeadline(Clock::time_point& deadline) const {
  if (options_.commandWatchdog.count() > 0 && !watchdogTripped_) {
    deadline = lastCommandAt_ + options_.commandWatchdog;
    return true;
  }
  return false;
}

void ChairModel::advanceSteps(Clock::time_point now) {
  const double dt = options_.integrationStep > 0.0 ? options_.integrationStep : 0.001;
  const double elapsed = std::chrono::duration<double>(now - simStart_).count();
  if (elapsed <= 0.0) {
    return;
  }
  const auto targetSteps = static_cast<std::uint64_t>(std::floor(elapsed / dt));
  while (simSteps_ < targetSteps) {
    step(dt);
    ++simSteps_;
    pose_.time = static_cast<double>(simSteps_) * dt;
  }
}

// One integration step: motors first, then the pose along an exact arc
// driven by the mean of the wheel speeds at the start and end of the step.
void ChairModel::step(double dt) {
  const MotorSpeeds before = motors_;
  const double maxChange = options_.maxAcceleration > 0.0 ? options_.maxAcceleration * dt : 0.0;
  limited_.right = rateLimit(limited_.right, target_.right, maxChange);
  limited_.left = rateLimit(limited_.left, target_.left, maxChange);
  if (options_.lagTimeConstant > 0.0) {
    const double alpha = 1.0 - std::exp(-dt / options_.lagTimeConstant);
    motors_.right += (limited_.right - motors_.right) * alpha;
    motors_.left += (limited_.left - motors_.left) * alpha;
  } else {
    motors_ = limited_;
  }

  const double right = 0.5 * (before.right + motors_.right);
  const double left = 0.5 * (before.left + motors_.left);
  const double v = 0.5 * (right + left);
  const double w = (right - left) / kTread;
  const double theta = pose_.theta;
  if (std::fabs(w) < 1e-12) {
    pose_.x += v * dt * std::cos(theta);
    pose_.y += v * dt * std::sin(theta);
  } else {
    const double radius = v / w;
    pose_.x += radius * (std::sin(theta + w * dt) - std::sin(theta));
    pose_.y -= radius * (std::cos(theta + w * dt) - std::cos(theta));
  }
  pose_.theta = theta + w * dt;
  pose_.distance += std::fabs(v) * dt;
}

// A new target with a motor model that responds at once is in force from
// this instant, not from the next integration step.
void ChairModel::setTarget(const MotorSpeeds& wanted) {
  target_ = wanted;
  if (options_.maxAcceleration <= 0.0) {
    limited_ = target_;
    if (options_.lagTimeConstant <= 0.0) {
      motors_ = limited_;
    }
  }
}

}  // namespace tolvarine_board_sim
