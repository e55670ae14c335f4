// What the end-to-end tests share besides processes and the control
// socket: waiting for a condition, and reading what a program left behind.
#ifndef TOLVARINE_TESTS_SUPPORT_TEST_SUPPORT_H
#define TOLVARINE_TESTS_SUPPORT_TEST_SUPPORT_H

#include <chrono>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>

namespace test_support {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// How long anything that must happen may take on a loaded machine; every
// wait ends as soon as its condition holds.
constexpr std::chrono::milliseconds kPatience{30000 * TOLVARINE_TEST_TIME_SCALE};

// Polls `condition` until it holds or `timeout` passes.
inline bool eventually(const std::function<bool()>& condition,
                       std::chrono::milliseconds timeout = kPatience) {
  for (const auto deadline = Clock::now() + timeout; !condition();
       std::this_thread::sleep_for(5ms)) {
    if (Clock::now() >= deadline) {
      return false;
    }
  }
  return true;
}

inline std::string readFile(const std::string& path) {
  std::ostringstream text;
  text << std::ifstream(path, std::ios::binary).rdbuf();
  return text.str();
}

inline bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

inline int countOf(const std::string& text, const std::string& needle) {
  int n = 0;
  for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
    ++n;
  }
  return n;
}

}  // namespace test_support

#endif  // TOLVARINE_TESTS_SUPPORT_TEST_SUPPORT_H
