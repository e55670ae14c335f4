#include "tolvarine_controller/auto_controller.h"

#include <cmath>
#include <iostream>
#include <sstream>
#include <stdexcept>

#include "connector.h"
#include "platform/serial_platform.h"
#include "ramp.h"
#include "thread_context.h"

namespace tolvarine_controller {

namespace {

constexpr double kHalfTreadMm = 274.4;  // half of the 548.8 mm wheel separation

// A limit that is not a positive number would remove the ramp (negative or
// not a number: every command at once) or keep the chair from moving (0).
double checkedMaxAcc(double maxAcc) {
  if (!(std::isfinite(maxAcc) && maxAcc > 0)) {
    std::ostringstream message;
    message << "AutoController: maxAcc must be a finite acceleration above 0 m/s^2, not " << maxAcc;
    throw std::invalid_argument(message.str());
  }
  return maxAcc;
}

// Negative or not a number has no meaning; above a day it is as good as off,
// and the nanoseconds must not overflow.
double checkedCommandTimeout(double seconds) {
  if (!(std::isfinite(seconds) && seconds >= 0 && seconds <= 86400)) {
    std::ostringstream message;
    message << "AutoController: the command time-out must be a number of seconds from 0 (off) "
               "to 86400, not "
            << seconds;
    throw std::invalid_argument(message.str());
  }
  return seconds;
}

}  // namespace

AutoController::AutoController(const double& maxAcc_)
    : Controller(),
      // The limit is checked before anything is allocated, so a refused one
      // leaves nothing behind.
      threadContext((checkedMaxAcc(maxAcc_), new ThreadContext())),
      targetVelRight(0.0),
      targetVelLeft(0.0),
      sendVelRight(0.0),
      sendVelLeft(0.0),
      threadRunning(false),
      maxAcc(maxAcc_),
      restCycleLimit(5),
      restCommandByte(40) {}

AutoController::~AutoController() {
  // The control thread uses the link, so it goes before the base closes it.
  stopThread();
  delete threadContext;
  threadContext = nullptr;
}

Odometory AutoController::renewOdometory(bool wait) {
  return Controller::renewOdometory(wait);
}

Odometory AutoController::getOdometory() {
  return Controller::getOdometory();
}

void AutoController::resetOdometory() {
  Controller::resetOdometory();
}

bool AutoController::initialize(const std::string& port, const int& direction) {
  if (!Controller::initialize(port, direction)) {
    return false;
  }
  startThread();
  return true;
}

void AutoController::initRobotPose(const double& x, const double& y, const double& theta) {
  Controller::initRobotPose(x, y, theta);
}

bool AutoController::finalize() {
  stopThread();
  // The new link starts from the stop command, so the ramp starts from rest.
  sendVelRight = 0.0;
  sendVelLeft = 0.0;
  return Controller::finalize();
}

void AutoController::setSendDataRV(const double& radius, const double& velocity) {
  double right;
  double left;
  if (std::isinf(radius)) {
    // An endless radius is a straight run.
    right = velocity * 1000;
    left = right;
  } else {
    const double r = radius * 1000;
    const double omega = (velocity * 1000) / (radius * 1000);
    right = (r + kHalfTreadMm) * omega;
    left = (r - kHalfTreadMm) * omega;
  }
  if (!std::isfinite(right) || !std::isfinite(left) || radius == 0) {
    if (rejectCommand()) {
      std::cerr << "AutoController: rejected setSendDataRV(radius=" << radius
                << ", velocity=" << velocity << "), stopping the chair" << std::endl;
    }
    return;
  }
  setTargetVel(right, left);
}

void AutoController::setSendDataVRL(const double& right, const double& left) {
  const double r = right * 1000;
  const double l = left * 1000;
  if (!std::isfinite(r) || !std::isfinite(l)) {
    if (rejectCommand()) {
      std::cerr << "AutoController: rejected setSendDataVRL(right=" << right << ", left=" << left
                << "), stopping the chair" << std::endl;
    }
    return;
  }
  setTargetVel(r, l);
}

void AutoController::setCommandTimeout(const double& seconds) {
  const double checked = checkedCommandTimeout(seconds);
  boost::lock_guard<boost::mutex> lock(threadContext->targetLock);
  threadContext->commandTimeoutNs = static_cast<std::int64_t>(checked * 1e9);
}

double AutoController::getCommandTimeout() const {
  boost::lock_guard<boost::mutex> lock(threadContext->targetLock);
  return static_cast<double>(threadContext->commandTimeoutNs) / 1e9;
}

void AutoController::setTargetVel(double right, double left) {
  boost::lock_guard<boost::mutex> lock(threadContext->targetLock);
  threadContext->lastCommandNs = platform::monotonicNs();
  targetVelRight = right;
  targetVelLeft = left;
  threadContext->rejecting = false;
  replanStep();
}

bool AutoController::rejectCommand() {
  boost::lock_guard<boost::mutex> lock(threadContext->targetLock);
  threadContext->lastCommandNs = platform::monotonicNs();
  targetVelRight = 0.0;
  targetVelLeft = 0.0;
  const bool first = !threadContext->rejecting;
  threadContext->rejecting = true;
  replanStep();
  return first;
}

void AutoController::replanStep() {
  // Only while the control thread waits for a frame; and during a loss the
  // thread first drops the targets, so they must not reach a frame here.
  if (threadContext->pendingFrame == 0 || connector->isLinkLost() ||
      connector->getLinkLossCount() != threadContext->lossesSeen) {
    return;
  }
  // If the frame has just gone out, the thread plans the next one from
  // these targets.
  planStep();
}

bool AutoController::planStep() {
  const double step = accelerationStep(maxAcc);
  const double right = clip(sendConverter->rightMin, sendConverter->rightMax,
                            rampToward(sendVelRight, targetVelRight, step));
  const double left = clip(sendConverter->leftMin, sendConverter->leftMax,
                           rampToward(sendVelLeft, targetVelLeft, step));

  SendData record = sendConverter->convertVRL(right, left);
  std::int32_t restCount = threadContext->restCount;
  if (left == 0 && right == 0 && targetVelLeft == 0 && targetVelRight == 0) {
    // Counting stops just past the limit; the mark stays on while at rest.
    if (restCount <= restCycleLimit) {
      ++restCount;
    }
    if (restCount > restCycleLimit) {
      record.option5 = restCommandByte;
    }
  } else {
    restCount = 0;
  }
  if (!connector->setSendDataForFrame(record, threadContext->pendingFrame)) {
    return false;
  }
  threadContext->pendingRight = right;
  threadContext->pendingLeft = left;
  threadContext->pendingRestCount = restCount;
  return true;
}

void AutoController::getTargetVel(double* right, double* left) {
  boost::lock_guard<boost::mutex> lock(threadContext->targetLock);
  *right = targetVelRight;
  *left = targetVelLeft;
}

void AutoController::startThread() {
  if (threadContext->controlThread.joinable()) {
    return;
  }
  // Set before the thread exists, so that it never sees the flag cleared.
  threadRunning = true;
  try {
    threadContext->controlThread = boost::thread(&AutoController::run, static_cast<void*>(this));
  } catch (...) {
    threadRunning = false;
    throw;
  }
}

void AutoController::stopThread() {
  if (!threadContext->controlThread.joinable()) {
    return;
  }
  threadRunning = false;
  // The loop notices at the end of its current send, which returns at the
  // link's next transmission.
  threadContext->controlThread.join();
  threadContext->controlThread = boost::thread();
}

void AutoController::run(void* controller) {
  static_cast<AutoController*>(controller)->controllerThread();
}

double AutoController::clip(double a, double b, double c) {
  const double m = b < c ? b : c;
  return a > m ? a : m;
}

void AutoController::controllerThread() {
  if (!threadRunning) {
    return;
  }
  {
    boost::lock_guard<boost::mutex> lock(threadContext->targetLock);
    threadContext->restCount = 0;
    threadContext->lossesSeen = connector->getLinkLossCount();
    threadContext->lastCommandNs = platform::monotonicNs();
  }
  do {
    std::uint32_t frame = 0;
    double timedOutAfterS = 0.0;
    {
      boost::lock_guard<boost::mutex> lock(threadContext->targetLock);
      const std::int64_t timeoutNs = threadContext->commandTimeoutNs;
      if (timeoutNs > 0 && (targetVelRight != 0.0 || targetVelLeft != 0.0) &&
          platform::monotonicNs() - threadContext->lastCommandNs > timeoutNs) {
        targetVelRight = 0.0;
        targetVelLeft = 0.0;
        timedOutAfterS = static_cast<double>(timeoutNs) / 1e9;
      }
      // A board that no longer answers may still be driving the chair: bring
      // it to rest at the normal deceleration, and keep it there (commands
      // that come in meanwhile are dropped) until it is commanded after the
      // link is back.
      const std::uint32_t losses = connector->getLinkLossCount();
      if (losses != threadContext->lossesSeen || connector->isLinkLost()) {
        threadContext->lossesSeen = losses;
        targetVelRight = 0.0;
        targetVelLeft = 0.0;
      }
      // One step per frame. A frame that went out before the step was
      // planned repeated the last one, which is where the step starts from.
      do {
        threadContext->pendingFrame = connector->nextFrame();
      } while (!planStep());
      frame = threadContext->pendingFrame;
    }
    if (timedOutAfterS > 0) {
      // Printed with no lock held: a console that blocks must not hold up a
      // caller's next command.
      std::cerr << "AutoController: no command for " << timedOutAfterS
                << " s, bringing the chair to rest" << std::endl;
    }
    // Planned right after the last frame; a target set before this frame
    // goes out re-plans it (replanStep), so the wait adds no latency.
    connector->waitForFrame(frame);
    {
      boost::lock_guard<boost::mutex> lock(threadContext->targetLock);
      sendVelRight = threadContext->pendingRight;
      sendVelLeft = threadContext->pendingLeft;
      threadContext->restCount = threadContext->pendingRestCount;
      threadContext->pendingFrame = 0;
    }
  } while (threadRunning);
}

}  // namespace tolvarine_controller
