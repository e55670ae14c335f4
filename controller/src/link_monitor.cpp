#include "link_monitor.h"

namespace tolvarine_controller {

LinkMonitor::LinkMonitor(std::uint32_t startMs) : lastValidMs_(startMs) {}

std::uint32_t LinkMonitor::validFrame(std::uint32_t nowMs) {
  const std::uint32_t elapsed = nowMs - lastValidMs_;
  lastValidMs_ = nowMs;
  if (lost_) {
    lost_ = false;
    endedLossMs_ = elapsed;
  }
  return elapsed;
}

void LinkMonitor::rejectedFrame() {
  ++rejectedPending_;
}

LinkReport LinkMonitor::check(std::uint32_t nowMs) {
  LinkReport report;
  report.backAfterMs = endedLossMs_;
  endedLossMs_ = 0;
  const std::uint32_t silence = nowMs - lastValidMs_;
  if (!lost_ && silence >= kLossLimitMs) {
    lost_ = true;
    ++losses_;
    report.lostAfterMs = silence;
  }
  if (rejectedPending_ > 0 &&
      (!rejectReported_ || nowMs - lastRejectReportMs_ >= kRejectReportMs)) {
    report.rejected = rejectedPending_;
    rejectedPending_ = 0;
    rejectReported_ = true;
    lastRejectReportMs_ = nowMs;
  }
  return report;
}

}  // namespace tolvarine_controller
