#include "drive_script.h"

#include <numeric>

namespace tolvarine_tools {

std::vector<Segment> fullScript() {
  // Speeds a wheelchair uses indoors and on a pavement; the turns keep the
  // outer wheel below about 0.65 m/s.
  return {
      {2.0, 0.0, 0.0, "standing still"},
      {6.0, 0.4, 0.0, "straight ahead at 0.4 m/s"},
      {5.0, 0.6, 0.0, "straight ahead at 0.6 m/s"},
      {5.0, 0.4, 0.35, "left turn, 0.4 m/s at 0.35 rad/s"},
      {4.0, 0.5, 0.0, "straight ahead at 0.5 m/s"},
      {6.0, 0.4, -0.45, "right turn, 0.4 m/s at -0.45 rad/s"},
      {3.0, 0.0, 0.0, "stop"},
      {5.0, -0.3, 0.0, "reversing at 0.3 m/s"},
      {2.0, 0.0, 0.0, "stop"},
      {4.0, 0.0, 0.6, "turning on the spot to the left, 0.6 rad/s"},
      {6.0, 0.5, 0.2, "gentle left arc, 0.5 m/s at 0.2 rad/s"},
      {5.0, 0.3, -0.5, "right turn, 0.3 m/s at -0.5 rad/s"},
      {4.0, 0.0, 0.0, "stop"},
  };
}

std::vector<Segment> shortScript() {
  return {
      {0.5, 0.0, 0.0, "standing still"},
      {2.0, 0.4, 0.0, "straight ahead at 0.4 m/s"},
      {2.0, 0.3, 0.5, "left turn, 0.3 m/s at 0.5 rad/s"},
      {1.5, 0.3, -0.5, "right turn, 0.3 m/s at -0.5 rad/s"},
      {1.5, -0.2, 0.0, "reversing at 0.2 m/s"},
      {1.5, 0.0, 0.0, "stop"},
  };
}

double scriptSeconds(const std::vector<Segment>& script) {
  return std::accumulate(script.begin(), script.end(), 0.0,
                         [](double total, const Segment& s) { return total + s.seconds; });
}

}  // namespace tolvarine_tools
