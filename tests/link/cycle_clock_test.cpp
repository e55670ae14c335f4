// The communication cycle's deadlines, driven by a made-up nanosecond clock.

#include "cycle_clock.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace tolvarine_controller {
namespace {

constexpr std::int64_t kMs = 1000000;
constexpr std::int64_t kPeriod = 30 * kMs;
constexpr std::int64_t kSlack = 2 * kMs;
// Not a whole millisecond, so that any rounding to milliseconds shows.
constexpr std::int64_t kT0 = 5000 * kMs + 123457;

TEST(CycleClock, CycleKStartsAtT0PlusKPeriodsWhateverTheWakeUpLatency) {
  CycleClock clock(kPeriod, kSlack, kT0);
  EXPECT_EQ(clock.cycleStart(), kT0);
  EXPECT_EQ(clock.deadline(), kT0 + kPeriod);
  // Woken 0.999999 ms late on every cycle: a cycle measured from the wake-up
  // would lose that much each time, 1 s over the 1000 cycles.
  for (std::int64_t k = 1; k <= 1000; ++k) {
    EXPECT_FALSE(clock.next(clock.deadline() + kMs - 1));
    ASSERT_EQ(clock.cycleStart(), kT0 + k * kPeriod) << "cycle " << k;
  }
  EXPECT_EQ(clock.deadline(), kT0 + 1001 * kPeriod);
}

TEST(CycleClock, AStallMovesTheGridInsteadOfBurstingToCatchUp) {
  struct Step {
    std::int64_t readyAt;  // when the thread is ready for the next cycle
    bool moved;
    std::int64_t start;  // of the cycle begun
  };
  // Worked by hand from t0: on the grid, up to the slack late, just past it,
  // a stall of three cycles, then on the new grid.
  const std::vector<Step> steps = {
      {kT0 + 30 * kMs, false, kT0 + 30 * kMs},
      {kT0 + 62 * kMs, false, kT0 + 60 * kMs},            // 2 ms late: still the grid
      {kT0 + 92 * kMs + 1, true, kT0 + 92 * kMs + 1},     // 2 ms + 1 ns: the grid moves
      {kT0 + 122 * kMs + 1, false, kT0 + 122 * kMs + 1},  // on the new grid
      {kT0 + 245 * kMs, true, kT0 + 245 * kMs},           // 93 ms stall: one cycle, not four
      {kT0 + 275 * kMs + 500, false, kT0 + 275 * kMs},
      {kT0 + 305 * kMs, false, kT0 + 305 * kMs},
  };
  CycleClock clock(kPeriod, kSlack, kT0);
  for (std::size_t i = 0; i < steps.size(); ++i) {
    SCOPED_TRACE("step " + std::to_string(i));
    EXPECT_EQ(clock.next(steps[i].readyAt), steps[i].moved);
    EXPECT_EQ(clock.cycleStart(), steps[i].start);
    EXPECT_EQ(clock.deadline(), steps[i].start + kPeriod);
  }
}

TEST(CycleClock, ReadWindowNeverReachesPastTheDeadline) {
  const CycleClock clock(kPeriod, kSlack, kT0);
  const std::int64_t deadline = kT0 + kPeriod;
  struct Case {
    std::int64_t now;
    std::int64_t wanted;
    std::int64_t window;
  };
  const std::vector<Case> cases = {
      {kT0, 10 * kMs, 10 * kMs},                  // early in the cycle: the full window
      {deadline - 10 * kMs, 10 * kMs, 10 * kMs},  // ends exactly on the deadline
      {deadline - 7 * kMs - 250, 10 * kMs, 7 * kMs + 250},
      {deadline - 7 * kMs - 250, 3 * kMs, 3 * kMs},  // a completion window that fits
      {deadline - 1, 10 * kMs, 1},
      {deadline, 10 * kMs, 0},
      {deadline + 4 * kMs, 10 * kMs, 0},  // a late thread reads nothing more
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    EXPECT_EQ(clock.readWindow(cases[i].now, cases[i].wanted), cases[i].window) << "case " << i;
  }
}

}  // namespace
}  // namespace tolvarine_controller
