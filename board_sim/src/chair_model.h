// The simulated chair: two motors that follow the commanded wheel speeds
// within an acceleration limit and an optional lag, and the true pose they
// drive, integrated in whole steps of simulated time. The board's watchdog,
// when set, stops the motors once no command has come for that long. Not
// thread-safe: the board guards it.
#ifndef TOLVARINE_BOARD_SIM_CHAIR_MODEL_H
#define TOLVARINE_BOARD_SIM_CHAIR_MODEL_H

#include <cstdint>

#include "tolvarine_board_sim/simulated_board.h"

namespace tolvarine_board_sim {

class ChairModel {
 public:
  explicit ChairModel(const BoardOptions& options) : options_(options) {}

  // At rest at the origin; simulated time 0 is `now`.
  void reset(Clock::time_point now);
  // Integrates up to `now` (the watchdog included).
  void advanceTo(Clock::time_point now);
  // A command frame that arrived at `at` asks for `wanted`.
  void command(const MotorSpeeds& wanted, Clock::time_point at);
  // When the watchdog will stop the motors; false when it will not.
  bool watchdogDeadline(Clock::time_point& deadline) const;

  Clock::time_point start() const { return simStart_; }
  const ChairPose& pose() const { return pose_; }
  const MotorSpeeds& motors() const { return motors_; }

 private:
  void advanceSteps(Clock::time_point now);
  void step(double dt);
  void setTarget(const MotorSpeeds& wanted);

  const BoardOptions options_;
  // Simulated time runs in whole integration steps from simStart_.
  Clock::time_point simStart_;
  std::uint64_t simSteps_ = 0;
  ChairPose pose_;
  MotorSpeeds target_;   // commanded
  MotorSpeeds limited_;  // after the acceleration limit
  MotorSpeeds motors_;   // after the lag: what the wheels do
  Clock::time_point lastCommandAt_;
  bool watchdogTripped_ = false;
};

}  // namespace tolvarine_board_sim

#endif  // TOLVARINE_BOARD_SIM_CHAIR_MODEL_H
