// POSIX serial port, clocks, sleeps and thread priority. The port name is the device
// path, used as given.

#include "platform/serial_platform.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <string>

namespace tolvarine_controller {
namespace platform {

struct SerialPort {
  int handle = -1;
  std::uint32_t transferred = 0;
  termios dcb{};
  bool pseudoTerminal = false;  // see purgeOutput
  bool exclusive = false;       // we set TIOCEXCL, so we clear it again
};

namespace {

// Waits until `fd` is ready for `events` or the deadline passes. Returns the
// poll result (0 on time-out) and the reported events.
int waitReady(int fd, short events, std::int64_t deadlineNs, short& revents) {
  revents = 0;
  for (;;) {
    const std::int64_t leftNs = deadlineNs - monotonicNs();
    if (leftNs <= 0) {
      return 0;
    }
    // ppoll, not poll: a window cut to the cycle's deadline must end on it,
    // not up to a millisecond later.
    const timespec left{static_cast<time_t>(leftNs / 1000000000),
                        static_cast<long>(leftNs % 1000000000)};
    pollfd request{fd, events, 0};
    const int result = ::ppoll(&request, 1, &left, nullptr);
    if (result < 0 && errno == EINTR) {
      continue;
    }
    if (result == 0 && deadlineNs - monotonicNs() > 0) {
      continue;
    }
    revents = request.revents;
    return result;
  }
}

// The line settings: raw bytes at 38400 baud, 8N1, receiver on, modem status
// lines ignored, no hardware or software flow control. Reads never block in
// the driver; the read window is kept with poll.
void applyLineSettings(termios& settings) {
  cfmakeraw(&settings);
  cfsetispeed(&settings, B38400);
  cfsetospeed(&settings, B38400);
  settings.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB);
  settings.c_cflag |= CS8 | CLOCAL | CREAD;
#ifdef CRTSCTS
  settings.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
#endif
  settings.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
  settings.c_cc[VMIN] = 0;
  settings.c_cc[VTIME] = 0;
}

// DTR and RTS stay off, as the board expects. A pseudo-terminal has no modem
// lines and says so with ENOTTY or EINVAL; that is not a failure.
bool clearModemLines(int fd) {
  int lines = TIOCM_DTR | TIOCM_RTS;
  if (::ioctl(fd, TIOCMBIC, &lines) == 0) {
    return true;
  }
  return errno == ENOTTY || errno == EINVAL;
}

// Sets `why` when the device cannot serve as the board's serial line.
bool configure(SerialPort& port, std::string& why) {
  // A regular file or /dev/null opens just as well; say so instead of
  // failing somewhere in the line settings.
  if (!::isatty(port.handle)) {
    why = "not a terminal";
    return false;
  }
  // One driver per board. TIOCEXCL makes a second open fail, but not for
  // root; the lock binds every process that asks for it, root included, and
  // goes with our descriptor, so a crash cannot leave it behind.
  if (::flock(port.handle, LOCK_EX | LOCK_NB) != 0) {
    why = errno == EWOULDBLOCK ? std::string("in use by another process, which holds its lock")
                               : std::string("cannot lock it (") + std::strerror(errno) + ")";
    return false;
  }
  // No sharing: a second open of the device fails while we hold it.
  if (::ioctl(port.handle, TIOCEXCL) != 0) {
    why = std::string("cannot take it for exclusive use (") + std::strerror(errno) + ")";
    return false;
  }
  port.exclusive = true;
  termios settings{};
  if (::tcgetattr(port.handle, &settings) != 0) {
    why = std::string("cannot read its line settings (") + std::strerror(errno) + ")";
    return false;
  }
  applyLineSettings(settings);
  // Applied twice, as on the other platform; the second result counts.
  ::tcsetattr(port.handle, TCSANOW, &settings);
  const bool applied = ::tcsetattr(port.handle, TCSANOW, &settings) == 0;
  port.dcb = settings;
  if (!applied) {
    why = std::string("it refuses 38400 baud 8N1 (") + std::strerror(errno) + ")";
    return false;
  }
  if (!clearModemLines(port.handle)) {
    why = std::string("cannot turn DTR and RTS off (") + std::strerror(errno) + ")";
    return false;
  }
  return true;
}

// write() returns once the bytes are in the driver's queue, and a purge of
// the output queue would still discard them. The last stop command before a
// close must reach the line, so a write also waits (within its window) until
// the queue has gone out, as a serial write does on the other platform.
void waitUntilSent(int fd, std::int64_t deadlineNs) {
  for (;;) {
    int queued = 0;
    if (::ioctl(fd, TIOCOUTQ, &queued) != 0 || queued <= 0) {
      return;
    }
    const std::int64_t leftNs = deadlineNs - monotonicNs();
    if (leftNs <= 0) {
      return;
    }
    // A byte takes about 0.26 ms at 38400 baud.
    timespec pause{0, static_cast<long>(std::min<std::int64_t>(leftNs, 250000))};
    ::nanosleep(&pause, nullptr);
  }
}

bool isPseudoTerminal(int fd) {
  char path[64] = {};
  return ::ttyname_r(fd, path, sizeof path) == 0 && std::strncmp(path, "/dev/pts/", 9) == 0;
}

void closeHandle(const SerialPort& port) {
  // Leave the device open to others again even if it outlives our handle;
  // the flag belongs to the device, so only the holder clears it, never an
  // opener that was turned away.
  if (port.exclusive) {
    ::ioctl(port.handle, TIOCNXCL);
  }
  const int fd = port.handle;
  while (::close(fd) != 0 && errno == EINTR) {
  }
}

}  // namespace

SerialPort* openSerialPort(const std::string& name) {
  // O_NONBLOCK: neither the open (waiting for carrier) nor a read or write may
  // block in the driver; every wait is bounded with poll.
  const int fd = ::open(name.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    reportOpenFailure(name, errno);
    return nullptr;
  }
  SerialPort* port = new SerialPort;
  port->handle = fd;
  port->pseudoTerminal = isPseudoTerminal(fd);
  std::string why;
  if (!configure(*port, why)) {
    reportSetupFailure(name, why);
    closeHandle(*port);
    delete port;
    return nullptr;
  }
  return port;
}

void closeSerialPort(SerialPort* port) {
  if (port == nullptr) {
    return;
  }
  closeHandle(*port);
  delete port;
}

bool purgeInput(SerialPort& port) {
  return ::tcflush(port.handle, TCIFLUSH) == 0;
}

bool purgeOutput(SerialPort& port) {
  // Every write has already drained (see waitUntilSent), so a real port has
  // nothing left to discard. On a pseudo-terminal, Linux hands written bytes
  // straight to the other side, and an output flush takes back those the
  // other side has not read yet: the stop command sent just before a close
  // would vanish.
  if (port.pseudoTerminal) {
    return true;
  }
  return ::tcflush(port.handle, TCOFLUSH) == 0;
}

bool readSerialPort(SerialPort& port, std::uint8_t* buffer, std::size_t size, std::int64_t windowNs,
                    std::size_t& received) {
  const std::int64_t deadline = monotonicNs() + windowNs;
  received = 0;
  bool ok = true;
  while (received < size) {
    const ssize_t n = ::read(port.handle, buffer + received, size - received);
    if (n > 0) {
      received += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
      ok = false;  // e.g. EIO: the device has gone
      break;
    }
    short revents = 0;
    const int ready = waitReady(port.handle, POLLIN, deadline, revents);
    if (ready == 0) {
      break;  // the window is over
    }
    if (ready < 0 || (revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
      // A hang-up with bytes still queued is read out first; one without
      // fails, otherwise the loop would spin on an empty, dead device.
      if (ready < 0 || (revents & POLLIN) == 0) {
        ok = false;
        break;
      }
      const ssize_t last = ::read(port.handle, buffer + received, size - received);
      if (last > 0) {
        received += static_cast<std::size_t>(last);
        continue;
      }
      ok = false;
      break;
    }
  }
  port.transferred = static_cast<std::uint32_t>(received);
  return ok;
}

bool writeSerialPort(SerialPort& port, const std::uint8_t* data, std::size_t size) {
  const std::int64_t deadline = monotonicNs() + std::int64_t{kWriteWindowMs} * kNsPerMs;
  std::size_t written = 0;
  while (written < size) {
    const ssize_t n = ::write(port.handle, data + written, size - written);
    if (n > 0) {
      written += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
      break;
    }
    short revents = 0;
    if (waitReady(port.handle, POLLOUT, deadline, revents) <= 0 ||
        (revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
      break;
    }
  }
  port.transferred = static_cast<std::uint32_t>(written);
  if (written == size) {
    waitUntilSent(port.handle, deadline);
  }
  // Half a frame on the line is no frame: only a complete write counts.
  return written == size;
}

std::uint32_t tickMs() {
  return static_cast<std::uint32_t>(static_cast<std::uint64_t>(monotonicNs() / kNsPerMs));
}

std::int64_t monotonicNs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

void sleepUntil(std::int64_t deadlineNs) {
  const timespec deadline{static_cast<time_t>(deadlineNs / 1000000000),
                          static_cast<long>(deadlineNs % 1000000000)};
  // A signal ends the sleep early; the deadline stays the same.
  while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
  }
}

void beginTimerResolution() {
  // The monotonic clock and nanosleep already resolve far below 1 ms.
}

void raiseCurrentThreadPriority() {
  // A fixed priority about a quarter up the real-time range: above every
  // normal thread, well below the system's own real-time work.
  const int low = sched_get_priority_min(SCHED_FIFO);
  const int high = sched_get_priority_max(SCHED_FIFO);
  sched_param param{};
  param.sched_priority = low + (high - low) / 4;
  const int result = pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
  if (result != 0) {
    std::cerr << "connector warning: communication thread keeps its normal priority ("
              << std::strerror(result) << ")" << std::endl;
  }
}

void reportOpenFailure(const std::string& name, int code) {
  std::cerr << u8"ポートオープン失敗 CODE=" << code << ' ' << name << ": " << std::strerror(code)
            << std::endl;
}

}  // namespace platform
}  // namespace tolvarine_controller
