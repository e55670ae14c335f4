#ifndef TOLVARINE_CONTROLLER_THREAD_CONTEXT_H
#define TOLVARINE_CONTROLLER_THREAD_CONTEXT_H

#include <boost/thread/mutex.hpp>
#include <boost/thread/thread.hpp>

namespace tolvarine_controller {

// Kept out of the public header so that programs using the library do not
// need Boost's headers.
struct ThreadContext {
  boost::thread controlThread;  // not-a-thread while no control thread runs
  boost::mutex targetLock;      // guards AutoController's two targets and `rejecting`
  bool rejecting = false;       // the targets were last set by a rejected command
};

}  // namespace tolvarine_controller

#endif  // TOLVARINE_CONTROLLER_THREAD_CONTEXT_H
