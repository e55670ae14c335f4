// The dead-man button: the stick drives the chair only while the button is
// held, and only once the stick has been centred since the button was
// pressed. A button already held when the tool starts, or while the board
// is not answering, has to be let go and pressed again.
#ifndef TOLVARINE_TOOLS_STICK_DEAD_MAN_H
#define TOLVARINE_TOOLS_STICK_DEAD_MAN_H

#include "stick_axes.h"

namespace tolvarine_stick {

enum class DeadManState {
  kReleaseFirst,  // held since before it could count: release it first
  kReleased,      // not held: the chair comes to rest and stays there
  kCentreFirst,   // held, but the stick has not been centred since the press
  kDriving,       // held, stick passed through the centre: the stick drives
};

const char* describe(DeadManState state);

class DeadMan {
 public:
  // Inside this deflection on both axes the stick is centred: the
  // controller's dead band, where the stick commands nothing.
  static constexpr double kCentre = 0.1;

  // After every change of the button, the stick or the link: the stick
  // position to command, the centre while the chair must not be driven.
  // `linkUp` false (the board is not answering) stops the driving until the
  // button has been released and pressed again.
  StickPosition update(bool held, const StickPosition& stick, bool linkUp);
  DeadManState state() const { return state_; }

  static bool centred(const StickPosition& stick);

 private:
  DeadManState state_ = DeadManState::kReleaseFirst;
};

}  // namespace tolvarine_stick

#endif  // TOLVARINE_TOOLS_STICK_DEAD_MAN_H
