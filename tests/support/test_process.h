// A program under test as a child process, run in a folder of the test's,
// where its standard output and error land in files the test reads.
#ifndef TOLVARINE_TESTS_SUPPORT_TEST_PROCESS_H
#define TOLVARINE_TESTS_SUPPORT_TEST_PROCESS_H

#include <optional>
#include <string>
#include <vector>

#include "child_process.h"
#include "test_support.h"

namespace test_support {

class TestProcess {
 public:
  // Starts argv (argv[0] a path) in `dir`: standard output to <name>.out,
  // standard error to <name>.err there (both fresh), or to `errFd` when it
  // is one. With `oneLog`, both go to <name>.log in the order written.
  // Throws std::runtime_error when it cannot start.
  TestProcess(const std::vector<std::string>& argv, const std::string& dir,
              const std::string& name = "process", int errFd = -1, bool oneLog = false);

  std::string out() const { return readFile(m_out); }
  std::string err() const { return readFile(m_err); }
  // Waits for `text` in standard error from offset `from` on.
  bool waitForErr(const std::string& text, std::chrono::milliseconds timeout = kPatience,
                  std::size_t from = 0) const;
  void signal(int signo) { m_child.signal(signo); }
  // The exit status as a shell reports it (128 + the signal that ended
  // it), or nothing when it still runs after `timeout`.
  std::optional<int> wait(std::chrono::milliseconds timeout = kPatience);
  pid_t pid() const { return m_child.pid(); }

 private:
  std::string m_out, m_err;
  tolvarine_tools::ChildProcess m_child;
};

}  // namespace test_support

#endif  // TOLVARINE_TESTS_SUPPORT_TEST_PROCESS_H
