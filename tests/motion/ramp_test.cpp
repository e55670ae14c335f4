#include "ramp.h"

#include <gtest/gtest.h>

#include <vector>

namespace tolvarine_controller {
namespace {

TEST(Ramp, DefaultAccelerationGivesTwentyOneMillimetresPerSecondPerCycle) {
  EXPECT_EQ(accelerationStep(0.7), 20.999999999999996);
  EXPECT_EQ(accelerationStep(1000.0), 30000.0);
}

TEST(Ramp, StepFromRestToHalfAMetrePerSecond) {
  const double step = accelerationStep(0.7);
  std::vector<double> commands;
  double command = 0.0;
  for (int cycle = 0; cycle < 26; ++cycle) {
    command = rampToward(command, 500.0, step);
    commands.push_back(command);
  }
  EXPECT_EQ(commands[0], 20.999999999999996);
  EXPECT_EQ(commands[1], 41.99999999999999);
  EXPECT_EQ(commands[2], 62.999999999999986);
  EXPECT_EQ(commands[22], 482.99999999999994);
  // Within one step (about 17 left): lands on the target and stays.
  EXPECT_EQ(commands[23], 500.0);
  EXPECT_EQ(commands[24], 500.0);
  EXPECT_EQ(commands[25], 500.0);
  for (int cycle = 1; cycle < 23; ++cycle) {
    EXPECT_NEAR(commands[cycle] - commands[cycle - 1], 21.0, 1e-9) << "cycle " << cycle + 1;
  }
}

TEST(Ramp, TargetWithinOneStepIsReachedExactlyInOneCycle) {
  const double step = accelerationStep(0.7);
  EXPECT_EQ(rampToward(0.0, 15.0, step), 15.0);
  EXPECT_EQ(rampToward(0.0, -15.0, step), -15.0);
  EXPECT_EQ(rampToward(100.0, 100.0, step), 100.0);
  // A difference of exactly one step is not more than one step.
  EXPECT_EQ(rampToward(0.0, step, step), step);
}

TEST(Ramp, ReversalRunsStraightThroughZero) {
  const double step = accelerationStep(0.7);
  double command = 500.0;
  int cycles = 0;
  bool sawPositive = false;
  bool sawNegative = false;
  while (command != -500.0 && cycles < 100) {
    const double next = rampToward(command, -500.0, step);
    EXPECT_NE(next, 0.0) << "the ramp stopped at zero in cycle " << cycles + 1;
    if (next != -500.0) {
      EXPECT_NEAR(command - next, 21.0, 1e-9) << "cycle " << cycles + 1;
    }
    sawPositive = sawPositive || next > 0;
    sawNegative = sawNegative || next < 0;
    command = next;
    ++cycles;
  }
  EXPECT_TRUE(sawPositive);
  EXPECT_TRUE(sawNegative);
  // 1000 mm/s at 21 per cycle: 47 full steps and one landing step.
  EXPECT_EQ(cycles, 48);
}

TEST(Ramp, StopRampsDownToExactlyZero) {
  const double step = accelerationStep(0.7);
  double command = 482.99999999999994;
  int cycles = 0;
  while (command != 0.0 && cycles < 100) {
    command = rampToward(command, 0.0, step);
    ++cycles;
  }
  EXPECT_EQ(command, 0.0);
  EXPECT_EQ(cycles, 23);
}

}  // namespace
}  // namespace tolvarine_controller
