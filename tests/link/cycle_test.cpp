// The link's timekeeping on made-up clocks: cycle deadlines, and the link's state.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "cycle_clock.h"
#include "link_monitor.h"

namespace tolvarine_controller {
namespace {

constexpr std::int64_t kMs = 1000000;
constexpr std::int64_t kPeriod = 30 * kMs;
constexpr std::int64_t kSlack = 2 * kMs;
// Not a whole millisecond, so that any rounding to milliseconds shows.
constexpr std::int64_t kT0 = 5000 * kMs + 123457;

TEST(CycleClock, DeadlinesStayOnTheGridUntilAStallMovesIt) {
  CycleClock clock(kPeriod, kSlack, kT0);
  // Woken almost 1 ms late every time: a cycle measured from the wake-up
  // would drift by a second over these 1000.
  for (std::int64_t k = 1; k <= 1000; ++k) {
    ASSERT_FALSE(clock.next(clock.deadline() + kMs - 1));
    ASSERT_EQ(clock.cycleStart(), kT0 + k * kPeriod) << "cycle " << k;
  }

  const std::int64_t t = kT0 + 1000 * kPeriod;
  const struct {
    std::int64_t readyAt;  // when the thread is ready for the next cycle
    bool moved;
    std::int64_t start;  // of the cycle begun
  } steps[] = {
      {t + 32 * kMs, false, t + 30 * kMs},          // as late as the slack: still the grid
      {t + 62 * kMs + 1, true, t + 62 * kMs + 1},   // 1 ns more: the grid moves
      {t + 92 * kMs + 1, false, t + 92 * kMs + 1},  // and stays moved
      {t + 215 * kMs, true, t + 215 * kMs},         // a 93 ms stall: one cycle, not four
      {t + 245 * kMs + 500, false, t + 245 * kMs},
  };
  for (const auto& s : steps) {
    SCOPED_TRACE("ready at +" + std::to_string(s.readyAt - t) + " ns");
    EXPECT_EQ(clock.next(s.readyAt), s.moved);
    EXPECT_EQ(clock.cycleStart(), s.start);
    EXPECT_EQ(clock.deadline(), s.start + kPeriod);
  }
}

TEST(CycleClock, ReadWindowEndsAtTheDeadline) {
  const CycleClock clock(kPeriod, kSlack, kT0);
  const std::int64_t deadline = kT0 + kPeriod;
  const struct {
    std::int64_t now, wanted, window;
  } cases[] = {
      {kT0, 10 * kMs, 10 * kMs},
      {deadline - 10 * kMs, 10 * kMs, 10 * kMs},
      {deadline - 7 * kMs - 250, 10 * kMs, 7 * kMs + 250},
      {deadline - 7 * kMs - 250, 3 * kMs, 3 * kMs},
      {deadline - 1, 10 * kMs, 1},
      {deadline, 10 * kMs, 0},
      {deadline + 4 * kMs, 10 * kMs, 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(clock.readWindow(c.now, c.wanted), c.window) << "at deadline " << c.now - deadline;
  }
}

// One event on the millisecond tick: 'v' a valid frame (expect: the time it
// covers), 'r' a rejected frame, 'c' the end-of-cycle check.
struct Event {
  std::uint32_t at;
  char kind;
  std::uint32_t elapsed = 0;
  std::uint32_t lostAfter = 0, backAfter = 0, rejected = 0;
  bool lostAfterwards = false;
};

void play(std::uint32_t start, const std::vector<Event>& events) {
  LinkMonitor monitor(start);
  for (const Event& e : events) {
    SCOPED_TRACE(std::string(1, e.kind) + " at " + std::to_string(e.at) + " ms");
    if (e.kind == 'v') {
      EXPECT_EQ(monitor.validFrame(start + e.at), e.elapsed);
    } else if (e.kind == 'r') {
      monitor.rejectedFrame();
    } else {
      const LinkReport r = monitor.check(start + e.at);
      EXPECT_EQ(r.lostAfterMs, e.lostAfter);
      EXPECT_EQ(r.backAfterMs, e.backAfter);
      EXPECT_EQ(r.rejected, e.rejected);
    }
    EXPECT_EQ(monitor.lost(), e.lostAfterwards);
  }
}

TEST(LinkMonitor, RejectedFramesKeepTheirTimeAndAreReportedAtMostOnceASecond) {
  play(1000, {
                 {30, 'v', 30},
                 {60, 'r'},
                 {60, 'c', 0, 0, 0, 1},  // the first at once
                 {90, 'v', 60},          // back to the last good frame
                 {120, 'r'},
                 {150, 'r'},
                 {150, 'c'},
                 {180, 'v', 90},
                 {380, 'v', 200},
                 {580, 'v', 200},
                 {780, 'v', 200},
                 {980, 'v', 200},
                 {1059, 'c'},  // a second has not passed
                 {1060, 'c', 0, 0, 0, 2},
                 {1090, 'c'},
             });
}

TEST(LinkMonitor, TenSilentCyclesAreOneLossAndItsEndOneReturn) {
  play(5000, {
                 {30, 'v', 30},
                 {329, 'c'},  // 299 ms of silence
                 {330, 'c', 0, 300, 0, 0, true},
                 {360, 'c', 0, 0, 0, 0, true},  // said once
                 {370, 'r', 0, 0, 0, 0, true},  // garbage does not end it
                 {390, 'c', 0, 0, 0, 1, true},
                 {1030, 'v', 1000},  // the whole silence, for the odometry
                 {1030, 'c', 0, 0, 1000},
                 {1060, 'c'},
                 {1330, 'c', 0, 300, 0, 0, true},
             });
  // Across the wrap of the tick, and a count of the losses.
  LinkMonitor monitor(0xFFFFFF00u);
  EXPECT_EQ(monitor.validFrame(0x10), 0x110u);
  EXPECT_EQ(monitor.check(0x10 + 299).lostAfterMs, 0u);
  EXPECT_EQ(monitor.check(0x10 + 300).lostAfterMs, 300u);
  monitor.validFrame(0x200);
  monitor.check(0x200 + 300);
  EXPECT_EQ(monitor.losses(), 2u);
}

}  // namespace
}  // namespace tolvarine_controller
