#include "status_text.h"

#include <cstdio>

namespace tolvarine_stick {

namespace {

constexpr double kPi = 3.14159265358979323846;

const char* linkText(tolvarine_controller::LinkState link) {
  switch (link) {
    case tolvarine_controller::LinkState::Connected:
      return "link ok";
    case tolvarine_controller::LinkState::Lost:
      return "LINK LOST";
    case tolvarine_controller::LinkState::Unconnected:
      return "no link";
  }
  return "link ?";
}

}  // namespace

std::string formatStatus(const StatusFields& s) {
  char text[256];
  int n = std::snprintf(text, sizeof text, "stick %+.2f %+.2f | %s | target %+.2f %+.2f", s.stick.x,
                        s.stick.y, describe(s.state), s.target.x, s.target.y);
  if (s.measured) {
    n += std::snprintf(text + n, sizeof text - n, " | meas %.2f m/s %+.2f rad/s", s.speed,
                       s.turnRate);
  } else {
    n += std::snprintf(text + n, sizeof text - n, " | nothing measured yet");
  }
  std::snprintf(text + n, sizeof text - n, " | pose %+.2f %+.2f m %+.0f deg | %s", s.x, s.y,
                s.heading * 180.0 / kPi, linkText(s.link));
  return text;
}

}  // namespace tolvarine_stick
