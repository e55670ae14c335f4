#include "test_process.h"

#include <cstdio>
#include <stdexcept>

namespace test_support {

TestProcess::TestProcess(const std::vector<std::string>& argv, const std::string& dir,
                         const std::string& name, int errFd, bool oneLog)
    : m_out(dir + "/" + name + (oneLog ? ".log" : ".out")),
      m_err(oneLog ? m_out : dir + "/" + name + ".err") {
  std::remove(m_out.c_str());
  std::remove(m_err.c_str());
  std::string error;
  if (!m_child.start(argv, dir, {m_out, m_err, errFd}, &error)) {
    throw std::runtime_error("cannot start " + argv.at(0) + ": " + error);
  }
}

bool TestProcess::waitForErr(const std::string& text, std::chrono::milliseconds timeout,
                             std::size_t from) const {
  return eventually([&] { return err().find(text, from) != std::string::npos; }, timeout);
}

std::optional<int> TestProcess::wait(std::chrono::milliseconds timeout) {
  return m_child.waitFor(timeout) ? std::optional<int>(m_child.shellStatus()) : std::nullopt;
}

}  // namespace test_support
