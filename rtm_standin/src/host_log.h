// The host's own console lines: plain lines on std::cerr, each flushed and
// starting with "rtm-standin: " so they stand apart from the components'.
#ifndef RTM_STANDIN_HOST_LOG_H
#define RTM_STANDIN_HOST_LOG_H

#include <string>

namespace rtm_standin {

void hostLog(const std::string& message);

}  // namespace rtm_standin

#endif  // RTM_STANDIN_HOST_LOG_H
