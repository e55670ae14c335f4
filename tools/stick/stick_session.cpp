#include "stick_session.h"

#include <poll.h>
#include <string.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <future>

namespace tolvarine_stick {

namespace {

using tolvarine_controller::LinkState;
using tolvarine_controller::Odometory;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr double kPi = 3.14159265358979323846;
// How often the stick's command is handed to the controller, events or not:
// once per link cycle.
constexpr int kTickMs = 30;
// Wheels reported still for this long (five link cycles) mean the chair is
// at rest.
constexpr double kStillSeconds = 0.15;
// The command goes to the controller every tick; should the loop stop
// handing it over (a console that blocks, Ctrl-S on the terminal), the
// controller lets the targets drop to 0 after this long.
constexpr double kCommandTimeoutSeconds = 0.5;

std::string signalName(int signal) {
  const char* abbreviation = ::sigabbrev_np(signal);
  return abbreviation != nullptr ? std::string("SIG") + abbreviation
                                 : "signal " + std::to_string(signal);
}

}  // namespace

StickSession::StickSession(const StickOptions& options, const std::atomic<int>& stopSignal)
    : options_(options), stopSignal_(stopSignal) {}

bool StickSession::pollGamepad(int timeoutMs, std::vector<GamepadEvent>& events) {
  pollfd device{gamepad_.fd(), POLLIN, 0};
  const int ready = ::poll(&device, 1, timeoutMs);
  if (ready < 0 && errno != EINTR) {
    lost_ = std::string("watching the gamepad failed: ") + std::strerror(errno);
    return false;
  }
  if (ready > 0 && !gamepad_.read(events, &lost_)) {
    return false;
  }
  const auto now = Clock::now();
  if (now >= nextCheck_) {
    nextCheck_ = now + std::chrono::milliseconds(options_.watchMs);
    return gamepad_.stillThere(&lost_);
  }
  return true;
}

bool StickSession::connectChair() {
  console_.message("connecting to the chair's board on " + options_.port +
                   " (its answer, then a settling pause of 2 s)...");
  auto connecting = std::async(std::launch::async, [this] {
    return controller_->initialize(options_.port, options_.direction);
  });
  bool abandoned = false;
  std::vector<GamepadEvent> events;
  while (connecting.wait_for(0ms) != std::future_status::ready) {
    // What the gamepad does meanwhile only sets its state: a button pressed
    // before the chair was ready has to be pressed again.
    events.clear();
    const bool present = pollGamepad(20, events);
    for (const GamepadEvent& e : events) {
      pad_.apply(e);
    }
    if (!abandoned && (!present || stopSignal_.load() != 0)) {
      controller_->abortInitialize();
      abandoned = true;
    }
  }
  return connecting.get() && lost_.empty() && stopSignal_.load() == 0;
}

void StickSession::announce(DeadManState from, DeadManState to) {
  if (from == to) {
    return;
  }
  const std::string button = "button " + std::to_string(options_.button);
  switch (to) {
    case DeadManState::kDriving:
      console_.message(button + " held, stick centred: driving");
      break;
    case DeadManState::kCentreFirst:
      console_.message(button + " held with the stick off centre: centre the stick to drive");
      break;
    case DeadManState::kReleased:
      if (from == DeadManState::kDriving) {
        console_.message(button + " released: the chair comes to rest");
      } else if (from == DeadManState::kCentreFirst) {
        console_.message(button + " released");
      }
      break;
    case DeadManState::kReleaseFirst:
      break;  // the link's own lines say why
  }
}

bool StickSession::watchLink() {
  const LinkState link = controller_->getLinkState();
  const std::uint32_t losses = controller_->getLinkLossCount();
  if (losses != lossesSeen_ && status_.link != LinkState::Lost) {
    console_.message(
        "the board stopped answering: the chair is brought to rest; once it answers again, "
        "release the button and press it to drive");
  }
  if (link == LinkState::Connected && (status_.link == LinkState::Lost || losses != lossesSeen_)) {
    console_.message("the board answers again");
  }
  const bool up = link == LinkState::Connected && losses == lossesSeen_;
  lossesSeen_ = losses;
  status_.link = link;
  return up;
}

void StickSession::takeOdometry(const Odometory& odometry) {
  if (odometry.step.time > 0) {
    status_.measured = true;
    status_.speed = odometry.step.distance / odometry.step.time;
    status_.turnRate = odometry.step.theta / odometry.step.time;
  }
  status_.x = odometry.total.x;
  status_.y = odometry.total.y;
  status_.heading = odometry.total.theta;
  status_.distance = odometry.total.distance;
}

StickSession::End StickSession::drive() {
  // The state found once the chair is connected comes first, so that a press
  // that follows at once counts as a press.
  const bool linkUp = watchLink();
  status_.stick = stickPosition(pad_, options_.axes);
  deadMan_.update(pad_.button(options_.button), status_.stick, linkUp);
  status_.state = deadMan_.state();
  if (status_.state == DeadManState::kReleaseFirst) {
    console_.message("button " + std::to_string(options_.button) +
                     " is held: release it, then press it to drive");
  }
  console_.message("ready: hold button " + std::to_string(options_.button) +
                   " to drive, with the stick centred when you press it");
  std::vector<GamepadEvent> events;
  for (;;) {
    if (stopSignal_.load() != 0) {
      return End::kSignal;
    }
    events.clear();
    if (!pollGamepad(std::min<int>(kTickMs, static_cast<int>(options_.watchMs)), events)) {
      return End::kGamepadLost;
    }
    const bool linkUp = watchLink();
    // Every event on its own, so that a quick release and press between two
    // ticks still counts as a new press.
    std::size_t next = 0;
    do {
      if (next < events.size()) {
        pad_.apply(events[next]);
      }
      const DeadManState before = deadMan_.state();
      status_.stick = stickPosition(pad_, options_.axes);
      status_.target = deadMan_.update(pad_.button(options_.button), status_.stick, linkUp);
      status_.state = deadMan_.state();
      announce(before, status_.state);
    } while (++next < events.size());
    controller_->setSendDataXY(status_.target.x, status_.target.y);
    takeOdometry(controller_->renewOdometory(false));
    console_.show(formatStatus(status_));
  }
}

bool StickSession::bringToRest() {
  status_.target = {};
  controller_->setSendDataXY(0.0, 0.0);
  const auto deadline =
      Clock::now() + std::chrono::duration<double>(options_.maxSpeed / options_.maxAcc + 1.0);
  double still = 0.0;
  while (Clock::now() < deadline) {
    takeOdometry(controller_->renewOdometory(true));
    const auto wheels = controller_->getStepWheelStatus();
    if (wheels.time > 0) {
      still = wheels.right == 0 && wheels.left == 0 ? still + wheels.time : 0.0;
    }
    if (still >= kStillSeconds) {
      return true;
    }
    console_.show(formatStatus(status_));
  }
  return false;
}

int StickSession::finish(End end) {
  watchLink();
  console_.finish();
  const std::string why = end == End::kSignal ? "stopped by " + signalName(stopSignal_.load())
                                              : "the gamepad is lost: " + lost_;
  console_.message(why + "; bringing the chair to rest...");
  const bool atRest = bringToRest();
  // Joins the control thread; the link then sends the stop command and
  // closes the port.
  controller_.reset();
  console_.finish();
  char pose[160];
  std::snprintf(pose, sizeof pose,
                "odometry: distance %.3f m; x %+.3f m, y %+.3f m, heading %+.1f deg",
                status_.distance, status_.x, status_.y, status_.heading * 180.0 / kPi);
  console_.message(pose);
  if (!atRest) {
    console_.message(
        why + "; the chair was not reported at rest within " +
        std::to_string(static_cast<int>(std::ceil(options_.maxSpeed / options_.maxAcc + 1.0))) +
        " s (is the board answering?); the stop command was sent");
    return 1;
  }
  console_.message(why + "; the chair was brought to rest and sent the stop command");
  return end == End::kSignal ? 0 : 1;
}

int StickSession::run() {
  std::string error;
  if (!gamepad_.open(options_.device, &error)) {
    console_.message(error);
    return 1;
  }
  // A FIFO does not know its counts; a joystick device does.
  if (gamepad_.axes() != 0) {
    std::string missing;
    if (std::max(options_.axes.x, options_.axes.y) >= gamepad_.axes()) {
      missing = "axis " + std::to_string(std::max(options_.axes.x, options_.axes.y));
    } else if (options_.button >= gamepad_.buttons()) {
      missing = "button " + std::to_string(options_.button);
    }
    if (!missing.empty()) {
      console_.message(options_.device + " (" + gamepad_.describe() + ") has no " + missing +
                       " (they count from 0): choose with --axis-x, --axis-y and --button; "
                       "jstest shows them");
      return 2;
    }
  }
  console_.message("gamepad " + options_.device + ": " + gamepad_.describe());
  controller_ = std::make_unique<tolvarine_controller::JoyStickController>(options_.maxSpeed,
                                                                           options_.maxAcc);
  controller_->setCommandTimeout(kCommandTimeoutSeconds);
  if (!connectChair()) {
    controller_.reset();
    if (!lost_.empty()) {
      console_.message("the gamepad is lost: " + lost_ + "; the chair was not driven");
      return 1;
    }
    if (stopSignal_.load() != 0) {
      console_.message("stopped by " + signalName(stopSignal_.load()) +
                       " before the chair was driven");
      return 0;
    }
    console_.message("the chair's board could not be reached on " + options_.port +
                     " (see the lines above)");
    return 1;
  }
  return finish(drive());
}

}  // namespace tolvarine_stick
