// The status line of tolvarine-stick: what it shows, and its text.
#ifndef TOLVARINE_TOOLS_STICK_STATUS_TEXT_H
#define TOLVARINE_TOOLS_STICK_STATUS_TEXT_H

#include <string>

#include "dead_man.h"
#include "stick_axes.h"
#include "tolvarine_controller/link_state.h"

namespace tolvarine_stick {

struct StatusFields {
  StickPosition stick;  // where the stick is
  DeadManState state = DeadManState::kReleaseFirst;
  StickPosition target;   // what the controller is given
  bool measured = false;  // a status frame has come in
  double speed = 0.0;     // m/s, path speed the board reports
  double turnRate = 0.0;  // rad/s, to the left
  double x = 0.0;         // m, odometry
  double y = 0.0;         // m
  double heading = 0.0;   // rad
  double distance = 0.0;  // m, path length
  tolvarine_controller::LinkState link = tolvarine_controller::LinkState::Unconnected;
};

std::string formatStatus(const StatusFields& status);

}  // namespace tolvarine_stick

#endif  // TOLVARINE_TOOLS_STICK_STATUS_TEXT_H
