#include "dead_man.h"

#include <cmath>

namespace tolvarine_stick {

const char* describe(DeadManState state) {
  switch (state) {
    case DeadManState::kReleaseFirst:
      return "release the button";
    case DeadManState::kReleased:
      return "released";
    case DeadManState::kCentreFirst:
      return "centre the stick";
    case DeadManState::kDriving:
      return "DRIVING";
  }
  return "?";
}

bool DeadMan::centred(const StickPosition& stick) {
  return std::fabs(stick.x) < kCentre && std::fabs(stick.y) < kCentre;
}

StickPosition DeadMan::update(bool held, const StickPosition& stick, bool linkUp) {
  if (!linkUp) {
    state_ = DeadManState::kReleaseFirst;
    return {};
  }
  switch (state_) {
    case DeadManState::kReleaseFirst:
      if (!held) {
        state_ = DeadManState::kReleased;
      }
      break;
    case DeadManState::kReleased:
      if (held) {
        state_ = centred(stick) ? DeadManState::kDriving : DeadManState::kCentreFirst;
      }
      break;
    case DeadManState::kCentreFirst:
      if (!held) {
        state_ = DeadManState::kReleased;
      } else if (centred(stick)) {
        state_ = DeadManState::kDriving;
      }
      break;
    case DeadManState::kDriving:
      if (!held) {
        state_ = DeadManState::kReleased;
      }
      break;
  }
  return state_ == DeadManState::kDriving ? stick : StickPosition{};
}

}  // namespace tolvarine_stick
