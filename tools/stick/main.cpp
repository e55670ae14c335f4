// tolvarine-stick: drive the wheelchair with a gamepad, through the
// controller library's JoyStickController, with a dead-man button. See
// --help.

#include <signal.h>

#include <atomic>

#include "stick_options.h"
#include "stick_session.h"
#include "stop_signals.h"
#include "tolvarine_controller/joystick_controller.h"

namespace {

std::atomic<int> g_stopSignal{0};

extern "C" void onStopSignal(int signal) {
  g_stopSignal.store(signal);
}

// The controller's own defaults, read off one constructed without them.
class ControllerDefaults : public tolvarine_controller::JoyStickController {
 public:
  double speed() const { return maxSpeed; }
  double acceleration() const { return maxAcc; }
};

}  // namespace

int main(int argc, char** argv) {
  tolvarine_stick::StickOptions options;
  const ControllerDefaults defaults;
  options.maxSpeed = defaults.speed();
  options.maxAcc = defaults.acceleration();
  if (const int status = tolvarine_stick::parseStickOptions(argc, argv, options); status >= 0) {
    return status;
  }
  tolvarine_tools::installStopHandlers(onStopSignal);
  // A stopped program would leave the chair on its last command: Ctrl-Z
  // does nothing here.
  ::signal(SIGTSTP, SIG_IGN);
  tolvarine_stick::StickSession session(options, g_stopSignal);
  return session.run();
}
