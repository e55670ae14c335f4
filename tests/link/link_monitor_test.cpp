// What the link makes of the stream of status frames: the time each good
// frame covers, a silent board, its return and rejected frames. Driven on a
// made-up millisecond tick.

#include "link_monitor.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace tolvarine_controller {
namespace {

struct Step {
  std::uint32_t at;        // ms after the start
  char event;              // 'v' valid frame, 'r' rejected frame, 'c' cycle check
  std::uint32_t expected;  // 'v': elapsed; 'c': see the fields below
  std::uint32_t lostAfter = 0;
  std::uint32_t backAfter = 0;
  std::uint32_t rejected = 0;
  bool lostAfterwards = false;
};

void play(std::uint32_t start, const std::vector<Step>& steps) {
  LinkMonitor monitor(start);
  for (std::size_t i = 0; i < steps.size(); ++i) {
    const Step& s = steps[i];
    SCOPED_TRACE("step " + std::to_string(i) + " at " + std::to_string(s.at) + " ms");
    const std::uint32_t now = start + s.at;
    if (s.event == 'v') {
      EXPECT_EQ(monitor.validFrame(now), s.expected);
    } else if (s.event == 'r') {
      monitor.rejectedFrame();
    } else {
      const LinkReport r = monitor.check(now);
      EXPECT_EQ(r.lostAfterMs, s.lostAfter);
      EXPECT_EQ(r.backAfterMs, s.backAfter);
      EXPECT_EQ(r.rejected, s.rejected);
    }
    EXPECT_EQ(monitor.lost(), s.lostAfterwards);
  }
}

TEST(LinkMonitor, RejectedFramesKeepTheirTimeAndAreReportedAtMostOnceASecond) {
  play(1000, {
                 {30, 'v', 30},
                 {30, 'c', 0},
                 {60, 'r', 0},
                 {60, 'c', 0, 0, 0, 1},  // the first is reported at once
                 {90, 'v', 60},
                 {90, 'c', 0},  // back to the last good frame
                 {120, 'r', 0},
                 {150, 'r', 0},
                 {150, 'c', 0},
                 {180, 'v', 90},
                 {380, 'v', 200},
                 {580, 'v', 200},
                 {780, 'v', 200},
                 {980, 'v', 200},
                 {1059, 'c', 0},           // a second has not passed
                 {1060, 'c', 0, 0, 0, 2},  // now the two since
                 {1090, 'c', 0},
             });
}

TEST(LinkMonitor, SilenceBeyondTenCyclesIsOneLossAndItsEndIsOneReturn) {
  play(5000, {
                 {30, 'v', 30},
                 {329, 'c', 0},  // 299 ms of silence: not yet
                 {330, 'c', 0, 300, 0, 0, true},
                 {360, 'c', 0, 0, 0, 0, true},  // said once
                 {370, 'r', 0, 0, 0, 0, true},  // garbage does not end it
                 {390, 'c', 0, 0, 0, 1, true},
                 {1030, 'v', 1000, 0, 0, 0},  // the whole silence, for the odometry
                 {1030, 'c', 0, 0, 1000, 0},
                 {1060, 'c', 0},
                 {1330, 'c', 0, 300, 0, 0, true},  // and a second loss
             });
  LinkMonitor monitor(0);
  monitor.check(300);
  monitor.validFrame(310);
  monitor.check(610);
  EXPECT_EQ(monitor.losses(), 2u);
}

TEST(LinkMonitor, TheTickMayWrapAround) {
  play(0xFFFFFF00u, {
                        {0xF0, 'v', 0xF0},
                        {0x110, 'v', 0x20},  // across the wrap
                        {0x110 + 299, 'c', 0},
                        {0x110 + 300, 'c', 0, 300, 0, 0, true},
                    });
}

}  // namespace
}  // namespace tolvarine_controller
