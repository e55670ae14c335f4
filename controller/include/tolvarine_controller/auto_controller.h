#ifndef TOLVARINE_CONTROLLER_AUTO_CONTROLLER_H
#define TOLVARINE_CONTROLLER_AUTO_CONTROLLER_H

#include <atomic>
#include <cstdint>
#include <string>

#include "tolvarine_controller/controller.h"
#include "tolvarine_controller/export.h"
#include "tolvarine_controller/odometory.h"

namespace tolvarine_controller {

struct ThreadContext;  // the control thread and the target lock; internal

// A controller with a control thread of its own: callers set wheel targets,
// and once per link cycle the thread moves each wheel's command toward its
// target by at most one acceleration step and sends it.
class TOLVARINE_CONTROLLER_API AutoController : public Controller {
 public:
  // `maxAcc`: largest change of each wheel's speed, m/s^2. One that is not a
  // finite number above 0 throws std::invalid_argument.
  explicit AutoController(const double& maxAcc = 0.7);
  // Stops and joins the control thread before the base closes the link.
  ~AutoController() override;

  AutoController(const AutoController&) = delete;
  AutoController& operator=(const AutoController&) = delete;

  Odometory renewOdometory(bool wait) override;
  Odometory getOdometory() override;
  void resetOdometory() override;
  // Brings the link up, then starts the control thread. Once the link is
  // lost the thread brings the chair to rest and drops the targets.
  bool initialize(const std::string& port, const int& direction) override;
  void initRobotPose(const double& x, const double& y, const double& theta) override;

  // Targets from a turning radius (m, positive turns left) and a speed (m/s).
  // A radius of 0, or a value that is not a number, stops the chair and is
  // reported on the console; an infinite radius drives straight.
  void setSendDataRV(const double& radius, const double& velocity);
  // Right and left wheel targets in m/s. Values that are not finite stop the
  // chair and are reported on the console.
  void setSendDataVRL(const double& right, const double& left);

  // A commander may die without a word (a killed process, a cut network),
  // and the last command would then drive the chair on. With a time-out,
  // the targets drop to 0 once no command has come for `seconds`: the ramp
  // brings the chair to rest, one console line says so, and it stays at
  // rest until the next command. 0 (the default) keeps the last command for
  // as long as the link is up. The time counts from the last command, or
  // from the link coming up if that is later. One that is not a finite
  // number of at least 0 throws std::invalid_argument and changes nothing.
  void setCommandTimeout(const double& seconds);
  double getCommandTimeout() const;

 protected:
  // Stops the control thread, then releases the link as the base does. The
  // commands restart from 0 with the next initialize; the targets stay.
  bool finalize();
  // Stops the chair in place of a command that cannot be driven. True for the
  // first of a run of such commands: a caller that repeats a bad command every
  // cycle is reported once, not every cycle.
  bool rejectCommand();

  ThreadContext* threadContext;
  double targetVelRight;  // mm/s, guarded by the target lock
  double targetVelLeft;   // mm/s, guarded by the target lock
  double sendVelRight;    // mm/s, commanded in the last frame written
  double sendVelLeft;     // mm/s, commanded in the last frame written
  std::atomic<bool> threadRunning;
  double maxAcc;                 // m/s^2
  std::int32_t restCycleLimit;   // cycles at rest before the rest mark
  std::uint8_t restCommandByte;  // the rest mark, sent in option5

 private:
  void startThread();
  void stopThread();
  static void run(void* controller);
  void controllerThread();
  // max(a, min(b, c)): clip(lower, upper, value) clamps value into the range.
  double clip(double a, double b, double c);
  void getTargetVel(double* right, double* left);
  // Stores both targets (mm/s) under the target lock; ends a run of rejected
  // commands.
  void setTargetVel(double right, double left);
  // With the target lock held: works out the step for the frame the control
  // thread waits for, one step from the last frame written toward the
  // targets, and hands it to the link. False when that frame has already
  // gone out.
  bool planStep();
  // With the target lock held: new targets go into the frame still waiting
  // to go out rather than the one after it, unless the link is lost.
  void replanStep();
};

}  // namespace tolvarine_controller

#endif  // TOLVARINE_CONTROLLER_AUTO_CONTROLLER_H
