// The file of a listening UNIX-domain socket: created owner-only, a stale one
// left by a process that is gone replaced, and removed again at the end if
// it is still the one created here.
#ifndef TOLVARINE_CONTROL_SOCKET_FILE_H
#define TOLVARINE_CONTROL_SOCKET_FILE_H

#include <string>

#include <sys/types.h>

namespace tolvarine_control {

class SocketFile {
 public:
  // Binds and listens; throws std::runtime_error with the reason (a file that
  // is not a socket, a socket a running server answers on, a path too long).
  explicit SocketFile(const std::string& path);
  ~SocketFile();

  // The listening descriptor, handed over once.
  int release();
  bool replacedStale() const { return m_replacedStale; }

  SocketFile(const SocketFile&) = delete;
  SocketFile& operator=(const SocketFile&) = delete;

 private:
  int m_fd = -1;
  std::string m_absolutePath;
  dev_t m_dev = 0;
  ino_t m_ino = 0;
  bool m_replacedStale = false;
};

}  // namespace tolvarine_control

#endif  // TOLVARINE_CONTROL_SOCKET_FILE_H
