// Output time stamps: the system's wrapping millisecond tick, not calendar
// time (the same tick the serial link times its cycles with).
#ifndef TOLVARINE_COMPONENT_TIME_STAMP_H
#define TOLVARINE_COMPONENT_TIME_STAMP_H

#include <cstdint>

namespace tolvarine_component {

// Milliseconds since an arbitrary start, modulo 2^32.
std::uint32_t millisecondTick();

// Splits a tick into whole seconds and the nanoseconds within the second.
template <class Time>
void setTimeStamp(Time& tm, std::uint32_t tickMs) {
  tm.sec = tickMs / 1000u;
  tm.nsec = (tickMs % 1000u) * 1000000u;
}

}  // namespace tolvarine_component

#endif  // TOLVARINE_COMPONENT_TIME_STAMP_H
