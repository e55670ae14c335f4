#ifndef TOLVARINE_TESTS_LINK_TEST_PTY_H
#define TOLVARINE_TESTS_LINK_TEST_PTY_H

// A bare pseudo-terminal for tests that play the device themselves, and a
// count of the process's open descriptors to show that nothing leaks.

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace tolvarine_controller {

class TestPty {
 public:
  TestPty() {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ >= 0 && ::grantpt(master_) == 0 && ::unlockpt(master_) == 0) {
      const char* name = ::ptsname(master_);
      if (name != nullptr) {
        slavePath_ = name;
      }
    }
  }
  ~TestPty() {
    if (master_ >= 0) {
      ::close(master_);
    }
  }
  TestPty(const TestPty&) = delete;
  TestPty& operator=(const TestPty&) = delete;

  bool ok() const { return master_ >= 0 && !slavePath_.empty(); }
  int master() const { return master_; }
  const std::string& slavePath() const { return slavePath_; }

  // Bytes written here arrive in the input queue of whoever holds the slave.
  bool write(const std::vector<std::uint8_t>& bytes) const {
    return ::write(master_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  }

 private:
  int master_ = -1;
  std::string slavePath_;
};

inline int openDescriptorCount() {
  int count = 0;
  if (DIR* dir = ::opendir("/proc/self/fd")) {
    while (dirent* entry = ::readdir(dir)) {
      if (entry->d_name[0] != '.') {
        ++count;
      }
    }
    ::closedir(dir);
  }
  return count;
}

}  // namespace tolvarine_controller

#endif  // TOLVARINE_TESTS_LINK_TEST_PTY_H
