// One run of tolvarine-stick: the gamepad opened, the chair's link brought
// up, the stick driving through the dead-man button, and every way out
// ending with the chair brought to rest through the ramp before the link
// sends its stop command and closes.
#ifndef TOLVARINE_TOOLS_STICK_STICK_SESSION_H
#define TOLVARINE_TOOLS_STICK_STICK_SESSION_H

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "dead_man.h"
#include "gamepad_device.h"
#include "status_line.h"
#include "status_text.h"
#include "stick_options.h"
#include "tolvarine_controller/joystick_controller.h"

namespace tolvarine_stick {

class StickSession {
 public:
  // `stopSignal` is set (to the signal's number) by the stop signals'
  // handler.
  StickSession(const StickOptions& options, const std::atomic<int>& stopSignal);
  // The exit status (see --help).
  int run();

 private:
  enum class End { kSignal, kGamepadLost };

  bool connectChair();
  End drive();
  // Reads the gamepad when poll() says so and checks it when due. False once
  // it is lost (`lost_` says why).
  bool pollGamepad(int timeoutMs, std::vector<GamepadEvent>& events);
  void announce(DeadManState from, DeadManState to);
  // Whether the stick may drive: the board answers, and has not been lost
  // since the last look, however briefly.
  bool watchLink();
  void takeOdometry(const tolvarine_controller::Odometory& odometry);
  // Targets to 0, then waits until the board has reported the wheels still
  // for a few cycles. False when that was not seen within the time a ramp
  // from full speed takes, with a second to spare.
  bool bringToRest();
  int finish(End end);

  const StickOptions options_;
  const std::atomic<int>& stopSignal_;
  tolvarine_tools::StatusLine console_{"tolvarine-stick"};
  GamepadDevice gamepad_;
  GamepadState pad_;
  DeadMan deadMan_;
  std::unique_ptr<tolvarine_controller::JoyStickController> controller_;
  StatusFields status_;
  std::string lost_;  // why the gamepad was lost
  std::uint32_t lossesSeen_ = 0;
  std::chrono::steady_clock::time_point nextCheck_{};
};

}  // namespace tolvarine_stick

#endif  // TOLVARINE_TOOLS_STICK_STICK_SESSION_H
