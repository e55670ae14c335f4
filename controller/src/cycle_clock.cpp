#include "cycle_clock.h"

namespace tolvarine_controller {

CycleClock::CycleClock(std::int64_t periodNs, std::int64_t slackNs, std::int64_t startNs)
    : period_(periodNs), slack_(slackNs), start_(startNs) {}

std::int64_t CycleClock::readWindow(std::int64_t nowNs, std::int64_t windowNs) const {
  const std::int64_t left = deadline() - nowNs;
  if (left <= 0) {
    return 0;
  }
  return left < windowNs ? left : windowNs;
}

bool CycleClock::next(std::int64_t nowNs) {
  const std::int64_t due = deadline();
  if (nowNs - due > slack_) {
    start_ = nowNs;
    return true;
  }
  start_ = due;
  return false;
}

}  // namespace tolvarine_controller
