#include "status_line.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <iostream>

namespace tolvarine_tools {

StatusLine::StatusLine(std::string program)
    : program_(std::move(program)), terminal_(::isatty(STDERR_FILENO) == 1) {}

void StatusLine::message(const std::string& line) {
  std::cerr << (shown_ ? "\r\033[K" : "") << program_ << ": " << line << std::endl;
  shown_ = false;
}

void StatusLine::show(const std::string& text, bool now) {
  const auto time = std::chrono::steady_clock::now();
  if (!now && time - last_ < std::chrono::milliseconds(terminal_ ? 100 : 1000)) {
    return;
  }
  last_ = time;
  if (!terminal_) {
    std::cerr << text << std::endl;
    return;
  }
  winsize size{};
  std::string line = text;
  if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 10 &&
      line.size() >= size.ws_col) {
    line.resize(size.ws_col - 1u);
  }
  std::cerr << "\r" << line << "\033[K" << std::flush;
  shown_ = true;
}

void StatusLine::finish() {
  if (shown_) {
    std::cerr << std::endl;
    shown_ = false;
  }
}

}  // namespace tolvarine_tools
