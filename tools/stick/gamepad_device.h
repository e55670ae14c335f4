// The gamepad as a file: a joystick device of the Linux joystick API
// (/dev/input/jsN), or a FIFO that carries the same 8-byte events (how the
// tool is driven without a gamepad). Gamepads send nothing while nothing
// changes, so silence means nothing; the device is lost when it stops being
// readable: a read error, the driver's "no such device" once it is
// unplugged, a hang-up, the end of a FIFO's stream (its writer closed it),
// or the path no longer naming the file that was opened.
#ifndef TOLVARINE_TOOLS_STICK_GAMEPAD_DEVICE_H
#define TOLVARINE_TOOLS_STICK_GAMEPAD_DEVICE_H

#include <sys/types.h>

#include <string>
#include <vector>

#include "gamepad_events.h"

namespace tolvarine_stick {

class GamepadDevice {
 public:
  GamepadDevice() = default;
  ~GamepadDevice();
  GamepadDevice(const GamepadDevice&) = delete;
  GamepadDevice& operator=(const GamepadDevice&) = delete;

  // Opens `path` without waiting (a FIFO need not have a writer yet). False
  // with a reason, which says what to do where it can, for a file that is
  // neither a joystick device nor a FIFO.
  bool open(const std::string& path, std::string* error);
  // "NAME: N axes, M buttons" of a joystick device; "a FIFO of joystick
  // events" for a FIFO.
  std::string describe() const;
  // The counts the driver reports; 0 for a FIFO, which does not know them.
  unsigned axes() const { return axes_; }
  unsigned buttons() const { return buttons_; }
  int fd() const { return fd_; }

  // Reads whatever is waiting, without blocking, and appends its events.
  // False once the device is lost, with the reason. Call it once poll()
  // reports the descriptor readable or hung up: a FIFO that has never had a
  // writer reads as ended too.
  bool read(std::vector<GamepadEvent>& events, std::string* reason);
  // Whether the path still names the file that was opened (a joystick
  // device's node goes when it is unplugged). False with the reason.
  bool stillThere(std::string* reason) const;

 private:
  std::string path_;
  int fd_ = -1;
  bool fifo_ = false;
  std::string name_;
  unsigned axes_ = 0;
  unsigned buttons_ = 0;
  dev_t device_ = 0;
  ino_t inode_ = 0;
  EventDecoder decoder_;
};

}  // namespace tolvarine_stick

#endif  // TOLVARINE_TOOLS_STICK_GAMEPAD_DEVICE_H
