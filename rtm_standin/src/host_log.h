// The host's own console lines: plain lines on std::cerr, each flushed and
// starting with "rtm-standin: " so they stand apart from the components'.
#ifndef RTM_STANDIN_HOST_LOG_H
#define RTM_STANDIN_HOST_LOG_H

#include <iostream>
#include <mutex>
#include <string>

namespace rtm_standin {

inline void hostLog(const std::string& message) {
  static std::mutex mutex;
  std::lock_guard<std::mutex> lock(mutex);
  std::cerr << ("rtm-standin: " + message) << std::endl;
}

}  // namespace rtm_standin

#endif  // RTM_STANDIN_HOST_LOG_H
