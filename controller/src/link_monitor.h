#ifndef TOLVARINE_CONTROLLER_LINK_MONITOR_H
#define TOLVARINE_CONTROLLER_LINK_MONITOR_H

#include <cstdint>

namespace tolvarine_controller {

// What a cycle of the link has to tell the user. A zero field has nothing
// to say.
struct LinkReport {
  std::uint32_t lostAfterMs = 0;  // the link has just been declared lost, after this much silence
  std::uint32_t backAfterMs = 0;  // a valid frame has just ended a loss of this length
  std::uint32_t rejected = 0;  // status frames rejected for their check byte since the last report
};

// Bookkeeping over the stream of status frames, on the wrapping millisecond
// tick: the time each valid frame covers, a board that has stopped
// answering, its return, and the rejected frames. The communication thread
// feeds it and prints what it reports; it does no I/O itself.
class LinkMonitor {
 public:
  // Ten cycles without a valid status frame: the board no longer answers
  // (or answers only garbage) and the chair must not be driven blind.
  static constexpr std::uint32_t kLossLimitMs = 300;
  // A run of rejected frames is reported at most this often.
  static constexpr std::uint32_t kRejectReportMs = 1000;

  explicit LinkMonitor(std::uint32_t startMs);

  // A status frame with a good check byte arrived at `nowMs`. Returns the
  // milliseconds it covers: back to the previous valid frame (or the start),
  // so that rejected frames in between do not take their time out of the
  // odometry.
  std::uint32_t validFrame(std::uint32_t nowMs);
  // A complete status frame whose check byte did not match.
  void rejectedFrame();
  // Once per cycle: declares a loss once the silence reaches the limit, and
  // hands out what is to be reported.
  LinkReport check(std::uint32_t nowMs);

  bool lost() const { return lost_; }
  std::uint32_t losses() const { return losses_; }

 private:
  std::uint32_t lastValidMs_;
  bool lost_ = false;
  std::uint32_t losses_ = 0;
  std::uint32_t endedLossMs_ = 0;  // length of a loss that a valid frame ended, not yet reported
  std::uint32_t rejectedPending_ = 0;
  bool rejectReported_ = false;
  std::uint32_t lastRejectReportMs_ = 0;
};

}  // namespace tolvarine_controller

#endif  // TOLVARINE_CONTROLLER_LINK_MONITOR_H
