// The host's view of a manager, for the stand-in's own tests.
#ifndef RTM_STANDIN_MANAGER_INTERNAL_H
#define RTM_STANDIN_MANAGER_INTERNAL_H

#include <string>

#include <rtm/Manager.h>

namespace rtm_standin {

class ComponentHost;

// The host of a running component, or nullptr.
ComponentHost* hostOf(RTC::Manager& manager, const std::string& instance);

}  // namespace rtm_standin

#endif  // RTM_STANDIN_MANAGER_INTERNAL_H
