#ifndef TOLVARINE_CONTROLLER_CYCLE_CLOCK_H
#define TOLVARINE_CONTROLLER_CYCLE_CLOCK_H

#include <cstdint>

namespace tolvarine_controller {

// The deadlines of a fixed-period cycle on a nanosecond clock. Times come in
// as values, so the arithmetic is the same whether the clock is the
// monotonic one or a test's.
//
// Cycle k starts at start + k * period: each deadline is computed from the
// first, never from when the thread happened to wake, so neither wake-up
// latency nor the time spent in a cycle adds up over the cycles.
class CycleClock {
 public:
  // `slackNs`: how late a cycle may begin and still keep its place on the
  // grid (the thread's wake-up latency, a read returning at its deadline).
  CycleClock(std::int64_t periodNs, std::int64_t slackNs, std::int64_t startNs);

  std::int64_t cycleStart() const { return start_; }
  // When the current cycle ends and the next begins.
  std::int64_t deadline() const { return start_ + period_; }

  // How long a read that would wait up to `windowNs` may wait at `nowNs`:
  // never past the deadline, 0 once it has passed.
  std::int64_t readWindow(std::int64_t nowNs, std::int64_t windowNs) const;

  // Begins the next cycle; `nowNs` is when the thread is ready for it. A
  // thread later than the slack (a stall, a debugger) starts it at once and
  // the grid moves with it: catching up would send a burst of frames.
  // Returns true when the grid moved.
  bool next(std::int64_t nowNs);

 private:
  std::int64_t period_;
  std::int64_t slack_;
  std::int64_t start_;
};

}  // namespace tolvarine_controller

#endif  // TOLVARINE_CONTROLLER_CYCLE_CLOCK_H
