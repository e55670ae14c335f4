// The teleoperation tool's terminal: raw mode while it runs, and the keys typed.
#ifndef TOLVARINE_TELEOP_TERMINAL_H
#define TOLVARINE_TELEOP_TERMINAL_H

#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
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
// stays pending for the next read.
class KeyReader {
 public:
  void feed(const char* bytes, std::size_t count) { pending_.append(bytes, count); }

  Key next() {
    while (!pending_.empty()) {
      const char c = pending_[0];
      if (c != '\x1b') {
        pending_.erase(0, 1);
        if (const Key key = keyOf(static_cast<char>(std::tolower(c)), "wsad q");
            key != Key::kNone) {
          return key;
        }
      } else if (pending_.size() < 3) {
        return Key::kNone;  // arrow keys arrive as one burst; a lone Escape is dropped by flush()
      } else if (pending_[1] != '[' && pending_[1] != 'O') {
        pending_.erase(0, 1);
      } else {
        const char code = pending_[2];
        pending_.erase(0, 3);
        if (const Key key = keyOf(code, "ABDC"); key != Key::kNone) {
          return key;
        }
        // Other sequences (Home, F-keys, "ESC [ 1 ; 5 A"): skip to their final byte.
        if (!isFinal(code)) {
          const auto end = std::find_if(pending_.begin(), pending_.end(), isFinal);
          pending_.erase(pending_.begin(), end == pending_.end() ? end : end + 1);
        }
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
  // `keys` lists the characters of up, down, left, right, stop and quit.
  static Key keyOf(char c, const char* keys) {
    const char* at = c != '\0' ? std::strchr(keys, c) : nullptr;
    return at != nullptr ? static_cast<Key>(1 + (at - keys)) : Key::kNone;
  }
  static bool isFinal(char c) { return c >= 0x40 && c <= 0x7e; }

  std::string pending_;
};

}  // namespace tolvarine_teleop

#endif  // TOLVARINE_TELEOP_TERMINAL_H
