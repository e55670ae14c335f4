// A tool's console on standard error: lines of their own, and a status line.
// On a terminal the status line is redrawn in place, cut to the terminal's
// width (a wrapped line could not be redrawn), at most ten times a second;
// elsewhere (a log) it is a plain line once a second.
#ifndef TOLVARINE_TOOLS_STATUS_LINE_H
#define TOLVARINE_TOOLS_STATUS_LINE_H

#include <chrono>
#include <string>

namespace tolvarine_tools {

class StatusLine {
 public:
  explicit StatusLine(std::string program);
  // "PROGRAM: line", above the status line on a terminal.
  void message(const std::string& line);
  // The status line, when it is due (`now`: at once).
  void show(const std::string& text, bool now = false);
  // Leaves the status line behind on a terminal before the last lines.
  void finish();

 private:
  std::string program_;
  bool terminal_;
  std::chrono::steady_clock::time_point last_{};
  bool shown_ = false;  // a status line stands on a terminal without its newline
};

}  // namespace tolvarine_tools

#endif  // TOLVARINE_TOOLS_STATUS_LINE_H
