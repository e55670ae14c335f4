#include "time_stamp.h"

#if defined(_WIN32)
// mmsystem.h needs the types windows.h declares.
// clang-format off
#include <windows.h>
#include <mmsystem.h>
// clang-format on
#else
#include <time.h>
#endif

namespace tolvarine_component {

std::uint32_t millisecondTick() {
#if defined(_WIN32)
  return static_cast<std::uint32_t>(timeGetTime());
#else
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  const std::uint64_t ms = static_cast<std::uint64_t>(now.tv_sec) * 1000u +
                           static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
  return static_cast<std::uint32_t>(ms);  // wraps like the Windows tick
#endif
}

}  // namespace tolvarine_component
