#ifndef TOLVARINE_TESTS_MOTION_TEST_ACCESS_H
#define TOLVARINE_TESTS_MOTION_TEST_ACCESS_H

// Windows onto the controllers' protected and private state, for tests only.

#include <string>

#include "thread_context.h"
#include "tolvarine_controller/auto_controller.h"
#include "tolvarine_controller/controller.h"
#include "tolvarine_controller/joystick_controller.h"

namespace tolvarine_controller {

struct AutoControllerTestPeer {
  static double clip(AutoController& c, double a, double b, double c3) { return c.clip(a, b, c3); }
  // The targets as the control thread sees them (taken under the lock).
  static void targets(AutoController& c, double* right, double* left) {
    c.getTargetVel(right, left);
  }
  static bool hasControlThread(AutoController& c) {
    return c.threadContext->controlThread.joinable();
  }
  static bool threadRunning(AutoController& c) { return c.threadRunning; }
};

// Makes the owned pointers and finalize reachable.
template <class Base>
class Inspectable : public Base {
 public:
  using Base::Base;
  using Base::finalize;
  Connector* connectorPtr() const { return this->connector; }
  ReceiveConverter* receiveConverterPtr() const { return this->receiveConverter; }
  SendFunctionConverter* sendConverterPtr() const { return this->sendConverter; }
  bool allReleased() const {
    return this->connector == nullptr && this->receiveConverter == nullptr &&
           this->sendConverter == nullptr;
  }
  bool allOwned() const {
    return this->connector != nullptr && this->receiveConverter != nullptr &&
           this->sendConverter != nullptr;
  }
};

using InspectableController = Inspectable<Controller>;
using InspectableAutoController = Inspectable<AutoController>;
using InspectableJoyStickController = Inspectable<JoyStickController>;

}  // namespace tolvarine_controller

#endif  // TOLVARINE_TESTS_MOTION_TEST_ACCESS_H
