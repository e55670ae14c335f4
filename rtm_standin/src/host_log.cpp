#include "host_log.h"

#include <iostream>
#include <mutex>

namespace rtm_standin {

void hostLog(const std::string& message) {
  static std::mutex mutex;
  std::lock_guard<std::mutex> lock(mutex);
  std::cerr << ("rtm-standin: " + message) << std::endl;
}

}  // namespace rtm_standin
