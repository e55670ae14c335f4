#include "socket_file.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace tolvarine_control {

namespace {

std::runtime_error systemError(const std::string& what, int err) {
  return std::runtime_error(what + ": " + std::strerror(err));
}

// A socket file nobody answers on is what a process that ended without
// cleaning up leaves behind; one somebody answers on belongs to a live one.
bool staleSocket(const std::string& path, const sockaddr_un& addr) {
  const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (probe < 0) {
    throw systemError("cannot create a socket", errno);
  }
  const int rc = ::connect(probe, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
  const int err = errno;
  ::close(probe);
  // A full queue (EAGAIN) still means a live server.
  if (rc == 0 || err == EAGAIN) {
    throw std::runtime_error("control socket " + path +
                             " is in use by a running host; stop it or choose another path");
  }
  if (err != ECONNREFUSED) {
    throw systemError("cannot check control socket " + path, err);
  }
  return true;
}

}  // namespace

SocketFile::SocketFile(const std::string& path) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof addr.sun_path) {
    throw std::runtime_error("control socket path \"" + path + "\" is empty or longer than " +
                             std::to_string(sizeof addr.sun_path - 1) + " bytes");
  }
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);

  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0) {
    if (!S_ISSOCK(st.st_mode)) {
      throw std::runtime_error("control socket path " + path +
                               " exists and is not a socket; remove it or choose another path");
    }
    if (staleSocket(path, addr) && ::unlink(path.c_str()) != 0 && errno != ENOENT) {
      throw systemError("cannot remove stale control socket " + path, errno);
    }
    m_replacedStale = true;
  }

  m_fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (m_fd < 0) {
    throw systemError("cannot create a socket", errno);
  }
  // On Linux the file takes the socket's mode at bind(); the chmod below
  // covers systems that ignore it.
  ::fchmod(m_fd, S_IRUSR | S_IWUSR);
  if (::bind(m_fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    const int err = errno;
    ::close(m_fd);
    if (err == EADDRINUSE) {
      throw std::runtime_error("control socket " + path + " is in use by another host");
    }
    throw systemError("cannot create control socket " + path, err);
  }
  if (::chmod(path.c_str(), S_IRUSR | S_IWUSR) != 0 || ::listen(m_fd, 16) != 0 ||
      ::stat(path.c_str(), &st) != 0) {
    const int err = errno;
    ::close(m_fd);
    ::unlink(path.c_str());
    throw systemError("cannot set up control socket " + path, err);
  }
  m_dev = st.st_dev;
  m_ino = st.st_ino;
  m_absolutePath = path;
  if (path[0] != '/') {
    char cwd[4096];
    if (::getcwd(cwd, sizeof cwd) != nullptr) {
      m_absolutePath = std::string(cwd) + "/" + path;
    }
  }
}

SocketFile::~SocketFile() {
  if (m_fd >= 0) {
    ::close(m_fd);
  }
  struct stat st {};
  if (::stat(m_absolutePath.c_str(), &st) == 0 && st.st_dev == m_dev && st.st_ino == m_ino) {
    ::unlink(m_absolutePath.c_str());
  }
}

int SocketFile::release() {
  const int fd = m_fd;
  m_fd = -1;
  return fd;
}

}  // namespace tolvarine_control
