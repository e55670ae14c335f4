// The scripted drive: a list of velocity commands, each held for a while.
#ifndef TOLVARINE_TOOLS_DRIVE_SCRIPT_H
#define TOLVARINE_TOOLS_DRIVE_SCRIPT_H

#include <cstddef>
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

// The same moves with every segment stretched or shrunk to last `total` s.
std::vector<Segment> scaledTo(const std::vector<Segment>& script, double total);
double scriptSeconds(const std::vector<Segment>& script);

// The segment in force `t` seconds after the start (the last one after the end).
std::size_t segmentAt(const std::vector<Segment>& script, double t);

}  // namespace tolvarine_tools

#endif  // TOLVARINE_TOOLS_DRIVE_SCRIPT_H
