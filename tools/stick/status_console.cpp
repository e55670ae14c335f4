#include "status_console.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>

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

// One line only: a wrapped line could not be redrawn in place.
std::string fitted(std::string line) {
  winsize size{};
  if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 10 &&
      line.size() >= size.ws_col) {
    line.resize(size.ws_col - 1u);
  }
  return line;
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

StatusConsole::StatusConsole() : terminal_(::isatty(STDERR_FILENO) == 1) {}

void StatusConsole::message(const std::string& line) {
  std::cerr << (shown_ ? "\r\033[K" : "") << "tolvarine-stick: " << line << std::endl;
  shown_ = false;
}

void StatusConsole::status(const StatusFields& fields, bool now) {
  const auto time = std::chrono::steady_clock::now();
  const auto every = terminal_ ? std::chrono::milliseconds(100) : std::chrono::milliseconds(1000);
  if (!now && time - last_ < every) {
    return;
  }
  last_ = time;
  if (terminal_) {
    std::cerr << "\r" << fitted(formatStatus(fields)) << "\033[K" << std::flush;
    shown_ = true;
  } else {
    std::cerr << formatStatus(fields) << std::endl;
  }
}

void StatusConsole::finish() {
  if (shown_) {
    std::cerr << std::endl;
    shown_ = false;
  }
}

}  // namespace tolvarine_stick
