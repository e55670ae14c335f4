#ifndef TOLVARINE_CONTROLLER_THREAD_CONTEXT_H
#define TOLVARINE_CONTROLLER_THREAD_CONTEXT_H

#include <cstdint>

#include <boost/thread/mutex.hpp>
#include <boost/thread/thread.hpp>

namespace tolvarine_controller {

// Kept out of the public header so that programs using the library do not
// need Boost's headers.
struct ThreadContext {
  boost::thread controlThread;  // not-a-thread while no control thread runs
  // Guards AutoController's two targets, its two commands, and everything
  // below.
  boost::mutex targetLock;
  bool rejecting = false;  // the targets were last set by a rejected command
  // The step waiting for its frame: the link's frame number (0 while none
  // waits), its wheel commands (mm/s) and the rest count it leaves.
  std::uint32_t pendingFrame = 0;
  double pendingRight = 0.0;
  double pendingLeft = 0.0;
  std::int32_t pendingRestCount = 0;
  std::int32_t restCount = 0;         // cycles at rest up to the last frame written
  std::uint32_t lossesSeen = 0;       // link losses the control thread has acted on
  std::int64_t commandTimeoutNs = 0;  // 0: the last command stands
  std::int64_t lastCommandNs = 0;     // monotonic clock of the last command
};

}  // namespace tolvarine_controller

#endif  // TOLVARINE_CONTROLLER_THREAD_CONTEXT_H
