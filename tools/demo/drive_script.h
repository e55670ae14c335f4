// The scripted drive: a list of velocity commands, each held for a while.
#ifndef TOLVARINE_TOOLS_DRIVE_SCRIPT_H
#define TOLVARINE_TOOLS_DRIVE_SCRIPT_H

#include <string>
#include <vector>

namespace tolvarine_tools {

struct Segment {
  double seconds;    // how long the command is held
  double linear;     // m/s, forward positive
  double angular;    // rad/s, counter-clockwise (to the left) positive
  std::string what;  // shown in the progress lines and the CSV
};

// About a minute: straight runs at up to 0.6 m/s, turns both ways, turns on
// the spot, a reversal and stops.
std::vector<Segment> fullScript();
// A few seconds with one of each kind of move, for tests.
std::vector<Segment> shortScript();
double scriptSeconds(const std::vector<Segment>& script);

}  // namespace tolvarine_tools

#endif  // TOLVARINE_TOOLS_DRIVE_SCRIPT_H
