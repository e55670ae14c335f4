// The console of tolvarine-stick, on standard error: lines for what
// happens, and a status line. On a terminal the status line is redrawn in
// place ten times a second; elsewhere (a log) it is a plain line once a
// second.
#ifndef TOLVARINE_TOOLS_STICK_STATUS_CONSOLE_H
#define TOLVARINE_TOOLS_STICK_STATUS_CONSOLE_H

#include <chrono>
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

class StatusConsole {
 public:
  StatusConsole();
  // A line of its own (above the status line on a terminal).
  void message(const std::string& line);
  // The status line, when it is due (`now` true: at once).
  void status(const StatusFields& fields, bool now = false);
  // Leaves the status line behind on a terminal before the last lines.
  void finish();

 private:
  bool terminal_;
  std::chrono::steady_clock::time_point last_{};
  bool shown_ = false;  // a status line stands on a terminal without its newline
};

}  // namespace tolvarine_stick

#endif  // TOLVARINE_TOOLS_STICK_STATUS_CONSOLE_H
