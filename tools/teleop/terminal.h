// The teleoperation tool's terminal: raw mode while it runs, the keys typed,
// and the width of the status line.
#ifndef TOLVARINE_TELEOP_TERMINAL_H
#define TOLVARINE_TELEOP_TERMINAL_H

#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <string>

namespace tolvarine_teleop {

// Puts the terminal into a mode that delivers each key at once without
// echo, and restores what it found on every way out (also from main's
// return after a signal). Ctrl-C keeps raising SIGINT; Ctrl-Z is disabled,
// as a stopped tool would leave the chair running on its last command.
class RawTerminal {
 public:
  bool enter() {
    if (::tcgetattr(STDIN_FILENO, &saved_) != 0) {
      return false;
    }
    termios raw = saved_;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    raw.c_iflag &= ~static_cast<tcflag_t>(IXON | ICRNL);
    raw.c_cc[VMIN] = 0;
    raw.c_cc[VTIME] = 0;
    raw.c_cc[VSUSP] = _POSIX_VDISABLE;
    if (::tcsetattr(STDIN_FILENO, TCSAFLUSH, &raw) != 0) {
      return false;
    }
    active_ = true;
    return true;
  }
  void restore() {
    if (active_) {
      ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved_);
      active_ = false;
    }
  }
  ~RawTerminal() { restore(); }

 private:
  termios saved_{};
  bool active_ = false;
};

enum class Key { kNone, kUp, kDown, kLeft, kRight, kStop, kQuit };

// Turns the bytes typed so far into keys; an incomplete escape sequence
// stays in `pending` for the next read.
class KeyReader {
 public:
  void feed(const char* bytes, std::size_t count) { pending_.append(bytes, count); }

  Key next() {
    while (!pending_.empty()) {
      const char c = pending_[0];
      if (c == '\x1b') {
        if (pending_.size() < 3) {
          // Arrow keys arrive as one burst; a lone Escape is dropped by flush().
          return Key::kNone;
        }
        const char kind = pending_[1];
        const char code = pending_[2];
        if (kind != '[' && kind != 'O') {
          pending_.erase(0, 1);
          continue;
        }
        pending_.erase(0, 3);
        switch (code) {
          case 'A':
            return Key::kUp;
          case 'B':
            return Key::kDown;
          case 'C':
            return Key::kRight;
          case 'D':
            return Key::kLeft;
          default:
            // Other sequences (Home, F-keys, "ESC [ 1 ; 5 A"): skip to their end.
            while (!pending_.empty() && !(pending_[0] >= 0x40 && pending_[0] <= 0x7e)) {
              pending_.erase(0, 1);
            }
            if (!pending_.empty()) {
              pending_.erase(0, 1);
            }
            continue;
        }
      }
      pending_.erase(0, 1);
      switch (c) {
        case 'w':
        case 'W':
          return Key::kUp;
        case 's':
        case 'S':
          return Key::kDown;
        case 'a':
        case 'A':
          return Key::kLeft;
        case 'd':
        case 'D':
          return Key::kRight;
        case ' ':
          return Key::kStop;
        case 'q':
        case 'Q':
          return Key::kQuit;
        default:
          break;
      }
    }
    return Key::kNone;
  }

  // Drops an escape that no sequence followed.
  void flush() {
    if (!pending_.empty() && pending_[0] == '\x1b') {
      pending_.erase(0, 1);
    }
  }
  bool waiting() const { return !pending_.empty(); }

 private:
  std::string pending_;
};

inline int terminalColumns() {
  winsize size{};
  if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) {
    return size.ws_col;
  }
  return 80;
}

}  // namespace tolvarine_teleop

#endif  // TOLVARINE_TELEOP_TERMINAL_H
