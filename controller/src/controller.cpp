#include "tolvarine_controller/controller.h"

#include <algorithm>
#include <chrono>
#include <iostream>
#include <thread>
#include <vector>

#include "connector.h"

namespace tolvarine_controller {

namespace {

// The board needs this long after the link is up before it takes commands;
// the status frames of the pause stay queued for the first renewal.
constexpr std::chrono::milliseconds kSettlingPause{2000};
// How often the settling pause looks for an abort.
constexpr std::chrono::milliseconds kAbortPollInterval{10};
// renewOdometory(true) gives up waiting after this long, so a board that has
// fallen silent cannot block its caller (and with it a component's
// execution cycle) for ever.
constexpr std::chrono::milliseconds kRenewWaitLimit{100};

}  // namespace

Controller::Controller()
    : connector(nullptr),
      odometory(),
      initialized(false),
      receiveConverter(nullptr),
      sendConverter(nullptr),
      initializeAborted(false) {}

Controller::~Controller() {
  finalize();
}

bool Controller::initialize(const std::string& port, const int& direction) {
  if (initialized) {
    return false;
  }
  if (initializeAborted) {
    std::cerr << "wheel chair: not connecting, the controller is shutting down" << std::endl;
    return false;
  }
  connector = new Connector();
  receiveConverter = new ReceiveConverter(direction);
  sendConverter = new SendFunctionConverter();
  sendConverter->direction = direction;

  if (!connector->open(port)) {
    std::cerr << "connector error: serial port can not open" << std::endl;
    finalize();
    return false;
  }
  std::cerr << "wait for wheel chair..." << std::endl;
  if (!connector->connect(&initializeAborted)) {
    if (initializeAborted) {
      std::cerr << "wheel chair: connection abandoned, the controller is shutting down"
                << std::endl;
    } else {
      std::cerr << "wheel chair error: connection failture" << std::endl;
    }
    finalize();
    return false;
  }
  std::cerr << "wheel chir connect success" << std::endl;
  try {
    connector->startThread();
  } catch (...) {
    // Nothing is left half-open when the link's thread cannot be created.
    finalize();
    throw;
  }
  // The pause is cut short by an abort; the link has sent nothing but the
  // stop command so far.
  const auto pauseEnd = std::chrono::steady_clock::now() + kSettlingPause;
  while (!initializeAborted && std::chrono::steady_clock::now() < pauseEnd) {
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
        kAbortPollInterval, pauseEnd - std::chrono::steady_clock::now()));
  }
  if (initializeAborted) {
    std::cerr << "wheel chair: connection abandoned, the controller is shutting down" << std::endl;
    finalize();
    return false;
  }
  initialized = true;
  return true;
}

void Controller::abortInitialize() {
  initializeAborted = true;
}

LinkState Controller::getLinkState() const {
  if (!initialized || connector == nullptr) {
    return LinkState::Unconnected;
  }
  return connector->isLinkLost() ? LinkState::Lost : LinkState::Connected;
}

std::uint32_t Controller::getLinkLossCount() const {
  return connector != nullptr ? connector->getLinkLossCount() : 0;
}

bool Controller::finalize() {
  if (connector != nullptr) {
    connector->stopThread();
    delete connector;  // closes the port
    connector = nullptr;
  }
  if (receiveConverter != nullptr) {
    delete receiveConverter;
    receiveConverter = nullptr;
  }
  if (sendConverter != nullptr) {
    delete sendConverter;
    sendConverter = nullptr;
  }
  initialized = false;
  return true;
}

bool Controller::isInitialized() const {
  return initialized;
}

void Controller::setSendData(const SendData& data, const bool& wait) {
  if (connector == nullptr) {
    return;
  }
  connector->setSendData(data, wait);
}

void Controller::setSendDataRV(const double& radius, const double& velocity, const bool& wait) {
  if (connector == nullptr || sendConverter == nullptr) {
    return;
  }
  const double r = radius * 1000;
  const double v = velocity * 1000;
  connector->setSendData(sendConverter->convertRV(r, v), wait);
}

void Controller::setSendDataVRL(const double& right, const double& left, const bool& wait) {
  if (connector == nullptr || sendConverter == nullptr) {
    return;
  }
  const double r = right * 1000;
  const double l = left * 1000;
  connector->setSendData(sendConverter->convertVRL(r, l), wait);
}

Odometory Controller::renewOdometory(bool wait) {
  if (connector == nullptr || receiveConverter == nullptr) {
    // Nothing to take: the same as a renewal that found no frames.
    odometory.step = Odometory::Block();
    return odometory;
  }
  std::vector<ReceiveData> frames;
  if (wait) {
    connector->getReceiveDataFor(frames, kRenewWaitLimit);
  } else {
    connector->getReceiveData(frames, false);
  }
  odometory = receiveConverter->convert(frames, odometory);
  return odometory;
}

Odometory Controller::getOdometory() {
  return odometory;
}

void Controller::resetOdometory() {
  odometory = Odometory();
}

void Controller::initRobotPose(const double& x, const double& y, const double& theta) {
  odometory = Odometory();
  odometory.total.x = x;
  odometory.total.y = y;
  odometory.total.theta = theta;
}

WheelStatus Controller::getStepWheelStatus() {
  return receiveConverter != nullptr ? receiveConverter->step : WheelStatus();
}

WheelStatus Controller::getTotalWheelStatus() {
  return receiveConverter != nullptr ? receiveConverter->total : WheelStatus();
}

}  // namespace tolvarine_controller
