#include "gamepad_device.h"

#include <fcntl.h>
#include <linux/joystick.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tolvarine_stick {

namespace {

std::string failure(const std::string& what, int code) {
  return what + ": " + std::strerror(code);
}

// What a user can do about a device that does not open.
std::string openAdvice(const std::string& path, int code) {
  if (code == EACCES || code == EPERM) {
    return "; the joystick devices belong to the group 'input': sudo usermod -aG input \"$USER\", "
           "then log out and in again";
  }
  if (code == ENOENT || code == ENODEV || code == ENXIO) {
    return "; is the gamepad plugged in? ls /dev/input/js* lists the joystick devices" +
           std::string(path.rfind("/dev/input/event", 0) == 0
                           ? " (an event device is not one: use a js device)"
                           : "");
  }
  return "";
}

}  // namespace

GamepadDevice::~GamepadDevice() {
  if (fd_ >= 0) {
    ::close(fd_);
  }
}

bool GamepadDevice::open(const std::string& path, std::string* error) {
  path_ = path;
  fd_ = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd_ < 0) {
    const int code = errno;
    *error = failure("cannot open the gamepad " + path, code) + openAdvice(path, code);
    return false;
  }
  struct stat info {};
  if (::fstat(fd_, &info) != 0) {
    *error = failure("cannot examine " + path, errno);
    return false;
  }
  device_ = info.st_dev;
  inode_ = info.st_ino;
  fifo_ = S_ISFIFO(info.st_mode);
  if (fifo_) {
    return true;
  }
  std::uint8_t axes = 0;
  std::uint8_t buttons = 0;
  char name[128] = {};
  if (!S_ISCHR(info.st_mode) || ::ioctl(fd_, JSIOCGAXES, &axes) != 0 ||
      ::ioctl(fd_, JSIOCGBUTTONS, &buttons) != 0) {
    *error = path + " is not a joystick device (/dev/input/jsN) nor a FIFO of joystick events";
    return false;
  }
  if (::ioctl(fd_, JSIOCGNAME(sizeof name - 1), name) < 0) {
    std::strcpy(name, "a gamepad");
  }
  name_ = name;
  axes_ = axes;
  buttons_ = buttons;
  return true;
}

std::string GamepadDevice::describe() const {
  if (fifo_) {
    return "a FIFO of joystick events";
  }
  return name_ + ": " + std::to_string(axes_) + " axes, " + std::to_string(buttons_) + " buttons";
}

bool GamepadDevice::read(std::vector<GamepadEvent>& events, std::string* reason) {
  unsigned char buffer[64 * EventDecoder::kEventSize];
  for (;;) {
    const ssize_t n = ::read(fd_, buffer, sizeof buffer);
    if (n > 0) {
      decoder_.feed(buffer, static_cast<std::size_t>(n), events);
      continue;
    }
    if (n == 0) {
      // A joystick device never ends its stream; a FIFO does when its writer
      // goes, which is the unplugging of the gamepad it stands for.
      *reason = fifo_ ? "the event stream " + path_ + " ended (its writer closed it)"
                      : "the gamepad " + path_ + " reported end of file";
      return false;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      return true;
    }
    if (errno == EINTR) {
      continue;
    }
    *reason = errno == ENODEV ? "the gamepad " + path_ + " was unplugged"
                              : failure("reading the gamepad " + path_ + " failed", errno);
    return false;
  }
}

bool GamepadDevice::stillThere(std::string* reason) const {
  struct stat info {};
  if (::stat(path_.c_str(), &info) != 0) {
    *reason = failure("the gamepad " + path_ + " is gone", errno);
    return false;
  }
  if (info.st_dev != device_ || info.st_ino != inode_) {
    *reason = path_ + " now names another file than the gamepad that was opened";
    return false;
  }
  return true;
}

}  // namespace tolvarine_stick
