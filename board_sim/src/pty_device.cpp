#include "pty_device.h"

#include <fcntl.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

namespace tolvarine_board_sim {
namespace {

// `what` failed, for the reason errno gives.
std::string failed(const std::string& what) {
  return what + ": " + std::strerror(errno);
}

}  // namespace

bool fail(std::string* error, const std::string& why) {
  if (error != nullptr) {
    *error = why;
  }
  return false;
}

int openPseudoTerminal(std::string& device, std::string* error) {
  int master = -1;
  int slave = -1;
  if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
    fail(error, failed("openpty"));
    return -1;
  }
  auto failClosing = [&](const std::string& what) {
    fail(error, failed(what));
    ::close(slave);
    ::close(master);
    return -1;
  };
  char name[128] = {};
  if (ptsname_r(master, name, sizeof name) != 0) {
    return failClosing("ptsname");
  }
  // Raw from the start, so nothing is echoed before the client sets the line up.
  termios tio{};
  if (tcgetattr(master, &tio) != 0) {
    return failClosing("tcgetattr");
  }
  cfmakeraw(&tio);
  cfsetispeed(&tio, B38400);
  cfsetospeed(&tio, B38400);
  if (tcsetattr(master, TCSANOW, &tio) != 0) {
    return failClosing("tcsetattr");
  }
  // Until its slave has been opened once, a master does not report the
  // absence of a client; closing the slave that openpty opened makes POLLHUP
  // mean "no client" from the start.
  ::close(slave);
  fcntl(master, F_SETFL, O_NONBLOCK);
  fcntl(master, F_SETFD, FD_CLOEXEC);
  device = name;
  return master;
}

void forgetClient(int master, const std::string& device) {
  // Both need a descriptor on the slave, which we get unless that very flag
  // stops us (a client should clear it before closing).
  tcflush(master, TCOFLUSH);
  const int slave = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (slave >= 0) {
    ioctl(slave, TIOCNXCL);
    tcflush(slave, TCIFLUSH);
    ::close(slave);
  }
}

bool writeAll(int fd, const std::uint8_t* bytes, std::size_t count) {
  std::size_t done = 0;
  int attempts = 0;
  while (done < count && attempts < 3) {
    const ssize_t n = ::write(fd, bytes + done, count - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
      return false;
    } else {
      ++attempts;
    }
  }
  return done == count;
}

bool makeLink(const std::string& target, const std::string& path, std::string* error) {
  // Only a link may be replaced: a real file at that path is not ours.
  struct stat existing {};
  if (::lstat(path.c_str(), &existing) == 0 && !S_ISLNK(existing.st_mode)) {
    return fail(error, path + " exists and is not a symbolic link");
  }
  // Made under a temporary name and renamed over `path`, so an existing link
  // is replaced in one step.
  const std::string temporary = path + ".tmp" + std::to_string(::getpid());
  ::unlink(temporary.c_str());
  if (::symlink(target.c_str(), temporary.c_str()) != 0) {
    return fail(error, failed("symlink " + path));
  }
  if (::rename(temporary.c_str(), path.c_str()) != 0) {
    fail(error, failed("rename to " + path));
    ::unlink(temporary.c_str());
    return false;
  }
  return true;
}

void removeLinkTo(const std::string& target, const std::string& path) {
  char linked[PATH_MAX] = {};
  const ssize_t len = readlink(path.c_str(), linked, sizeof linked - 1);
  if (len > 0 && target == std::string(linked, static_cast<std::size_t>(len))) {
    ::unlink(path.c_str());
  }
}

}  // namespace tolvarine_board_sim
