#ifndef TOLVARINE_TESTS_BOARD_SIM_PTY_CLIENT_H
#define TOLVARINE_TESTS_BOARD_SIM_PTY_CLIENT_H

// The client side of the simulated board's pseudo-terminal, set up the way
// the controller opens a serial port: raw, exclusive, non-blocking reads.

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace board_sim_test {

using Bytes = std::vector<std::uint8_t>;
using SteadyClock = std::chrono::steady_clock;

// Generous bound for anything the board should do "at once"; a loaded
// two-core machine can stall a thread for a long time.
constexpr std::chrono::milliseconds kPatience{3000};

// Sum modulo 256, with a sum equal to the start byte sent as 0xFD.
inline std::uint8_t checkByte(const Bytes& bytes, std::size_t first, std::size_t last) {
  unsigned sum = 0;
  for (std::size_t i = first; i <= last; ++i)
    sum += bytes[i];
  const auto check = static_cast<std::uint8_t>(sum & 0xFF);
  return check == 0x02 ? 0xFD : check;
}

// A 12-byte command frame with a correct check byte.
inline Bytes command(std::uint8_t leftDirection, std::uint8_t rightDirection,
                     std::uint8_t leftSpeed, std::uint8_t rightSpeed, std::uint8_t sequence,
                     std::uint8_t option5 = 0xFF) {
  Bytes frame{0x02, leftDirection, rightDirection, leftSpeed, rightSpeed, 0xCC,
              0x1A, 0x1A,          0x64,           option5,   sequence,   0x00};
  frame[11] = checkByte(frame, 1, 10);
  return frame;
}

inline Bytes stopCommand(std::uint8_t sequence) {
  return command(0x30, 0x30, 0x00, 0x00, sequence);
}

class PtyClient {
 public:
  explicit PtyClient(const std::string& path, bool exclusive = true) {
    fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd_ < 0)
      return;
    termios tio{};
    if (tcgetattr(fd_, &tio) == 0) {
      cfmakeraw(&tio);
      cfsetispeed(&tio, B38400);
      cfsetospeed(&tio, B38400);
      tcsetattr(fd_, TCSANOW, &tio);
    }
    if (exclusive)
      ioctl(fd_, TIOCEXCL);
  }
  ~PtyClient() { close(); }
  PtyClient(const PtyClient&) = delete;
  PtyClient& operator=(const PtyClient&) = delete;

  bool isOpen() const { return fd_ >= 0; }
  void close() {
    if (fd_ >= 0)
      ::close(fd_);
    fd_ = -1;
  }

  bool send(const Bytes& bytes) {
    return ::write(fd_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  }

  // Reads until `count` bytes have arrived or the timeout has passed.
  Bytes read(std::size_t count, std::chrono::milliseconds timeout = kPatience) {
    Bytes out;
    const auto deadline = SteadyClock::now() + timeout;
    while (out.size() < count) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now());
      if (left.count() < 0)
        break;
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left.count()) + 1) <= 0)
        continue;
      std::uint8_t buffer[64];
      const std::size_t want = std::min(sizeof buffer, count - out.size());
      const ssize_t n = ::read(fd_, buffer, want);
      if (n > 0)
        out.insert(out.end(), buffer, buffer + n);
    }
    return out;
  }

  // Bytes waiting to be read.
  int available() const {
    int n = 0;
    ioctl(fd_, FIONREAD, &n);
    return n;
  }

  void purge() { tcflush(fd_, TCIFLUSH); }

 private:
  int fd_ = -1;
};

}  // namespace board_sim_test

#endif  // TOLVARINE_TESTS_BOARD_SIM_PTY_CLIENT_H
