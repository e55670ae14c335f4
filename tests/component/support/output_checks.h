// Checks on what the component publishes and prints each cycle.
#ifndef TOLVARINE_TESTS_COMPONENT_OUTPUT_CHECKS_H
#define TOLVARINE_TESTS_COMPONENT_OUTPUT_CHECKS_H

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "component_harness.h"

namespace component_test {

// The millisecond tick a sample's time stamp was made from.
std::uint32_t tickOf(const json& sample);

// Every cycle publishes the pose, then the velocity with the same time
// stamp; velocities have vy = 0 and a finite vx >= 0; id and error stay
// empty; stamps are ticks of this machine's monotonic clock, taken shortly
// before the sample arrived. Returns the number of complete cycles seen.
std::size_t expectWellFormedCycles(const std::vector<ControlClient::Event>& events);

// Each "w_in:" trace line of the console is followed by the "X:", "Y:" and
// heading lines of the same cycle. Returns the number of cycles traced.
std::size_t expectCycleTrace(const std::string& console);

}  // namespace component_test

#endif  // TOLVARINE_TESTS_COMPONENT_OUTPUT_CHECKS_H
