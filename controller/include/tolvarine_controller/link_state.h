#ifndef TOLVARINE_CONTROLLER_LINK_STATE_H
#define TOLVARINE_CONTROLLER_LINK_STATE_H

namespace tolvarine_controller {

// The serial link to the control board, as a caller of the controller sees
// it.
enum class LinkState {
  Unconnected,  // not initialized, or finalized
  Connected,    // the board answers
  Lost,         // no valid status frame for 300 ms: the chair is being brought to rest
};

}  // namespace tolvarine_controller

#endif  // TOLVARINE_CONTROLLER_LINK_STATE_H
