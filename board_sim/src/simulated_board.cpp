#include "tolvarine_board_sim/simulated_board.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ostream>

#include "board_impl.h"
#include "pty_device.h"

namespace tolvarine_board_sim {

std::string hexBytes(const std::uint8_t* bytes, std::size_t count) {
  std::string out;
  char cell[4];
  for (std::size_t i = 0; i < count; ++i) {
    std::snprintf(cell, sizeof cell, i == 0 ? "%02x" : " %02x", bytes[i]);
    out += cell;
  }
  return out;
}

void writeFrameLog(std::ostream& out, const std::vector<ReceivedFrame>& frames,
                   Clock::time_point start) {
  for (const ReceivedFrame& frame : frames) {
    char time[32];
    std::snprintf(time, sizeof time, "%.6f",
                  std::chrono::duration<double>(frame.at - start).count());
    out << time << ',' << hexBytes(frame.bytes.data(), frame.bytes.size()) << ','
        << (frame.valid ? 1 : 0) << '\n';
  }
}

SimulatedBoard::SimulatedBoard(BoardOptions options) : impl_(new Impl(options)) {}

SimulatedBoard::~SimulatedBoard() {
  stop();
}

bool SimulatedBoard::start(std::string* error) {
  Impl& d = *impl_;
  {
    std::lock_guard<std::mutex> lock(d.mutex);
    if (d.running) {
      return fail(error, "the board is already running on " + d.device);
    }
  }

  std::string name;
  const int master = openPseudoTerminal(name, error);
  if (master < 0) {
    return false;
  }
  const int wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wake < 0) {
    fail(error, std::string("eventfd: ") + std::strerror(errno));
    ::close(master);
    return false;
  }

  d.master = master;
  d.wake = wake;
  d.assembler = FrameAssembler();
  d.pending.clear();
  d.threadSeesClient = false;
  d.stopRequested.store(false);
  {
    std::lock_guard<std::mutex> lock(d.mutex);
    d.device = name;
    d.resetState(Clock::now());
    d.running = true;
  }
  d.thread = std::thread([&d] { d.run(); });
  return true;
}

void SimulatedBoard::stop() {
  Impl& d = *impl_;
  std::vector<std::string> links;
  {
    std::lock_guard<std::mutex> lock(d.mutex);
    if (!d.running) {
      return;
    }
    d.running = false;
    links.swap(d.links);
  }
  d.stopRequested.store(true);
  const std::uint64_t one = 1;
  [[maybe_unused]] const auto n = ::write(d.wake, &one, sizeof one);
  if (d.thread.joinable()) {
    d.thread.join();
  }
  ::close(d.master);
  ::close(d.wake);
  d.master = -1;
  d.wake = -1;
  std::string device;
  {
    std::lock_guard<std::mutex> lock(d.mutex);
    d.chair.advanceTo(Clock::now());
    d.connected = false;
    device = d.device;
    d.changed.notify_all();
  }
  // Remove only links that still point at our device.
  for (const auto& link : links) {
    removeLinkTo(device, link);
  }
}

std::string SimulatedBoard::devicePath() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->device;
}

Clock::time_point SimulatedBoard::startedAt() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->chair.start();
}

bool SimulatedBoard::createLink(const std::string& path, std::string* error) {
  Impl& d = *impl_;
  std::lock_guard<std::mutex> lock(d.mutex);
  if (!d.running) {
    return fail(error, "the board is not running, so there is no device to link to");
  }
  if (path.empty()) {
    return fail(error, "empty link path");
  }
  if (!makeLink(d.device, path, error)) {
    return false;
  }
  if (std::find(d.links.begin(), d.links.end(), path) == d.links.end()) {
    d.links.push_back(path);
  }
  return true;
}

void SimulatedBoard::setSilent(bool silent) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->faults.silent = silent;
}

void SimulatedBoard::stopAnsweringAfter(std::uint64_t replies) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->faults.repliesLeft = replies;
}

void SimulatedBoard::resumeAnswering() {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->faults.silent = false;
  impl_->faults.repliesLeft.reset();
}

void SimulatedBoard::setDropEvery(unsigned n) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->faults.setDropEvery(n);
}

void SimulatedBoard::setCorruptEvery(unsigned n) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->faults.setCorruptEvery(n);
}

void SimulatedBoard::setStatusBytes(std::uint8_t status1, std::uint8_t status2) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->options.status1 = status1;
  impl_->options.status2 = status2;
}

void SimulatedBoard::setSplitReply(std::size_t firstPart, std::chrono::microseconds gap) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->faults.splitFirst = firstPart;
  impl_->faults.splitGap = std::max(gap, std::chrono::microseconds::zero());
}

void SimulatedBoard::sendStrayBytes(std::vector<std::uint8_t> bytes) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->faults.strayOnce.insert(impl_->faults.strayOnce.end(), bytes.begin(), bytes.end());
}

void SimulatedBoard::setStrayEvery(unsigned n, std::vector<std::uint8_t> bytes) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->faults.setStrayEvery(n, std::move(bytes));
}

void SimulatedBoard::setNoiseAfterEvery(unsigned n, std::size_t maxBytes,
                                        std::chrono::microseconds delay) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->faults.setNoiseAfterEvery(n, maxBytes, delay);
}

std::vector<ReceivedFrame> SimulatedBoard::frames() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->frames;
}

std::size_t SimulatedBoard::frameCount() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->frames.size();
}

std::vector<ReceivedFrame> SimulatedBoard::framesFrom(std::size_t first) const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  const auto& all = impl_->frames;
  if (first >= all.size()) {
    return {};
  }
  return std::vector<ReceivedFrame>(all.begin() + static_cast<std::ptrdiff_t>(first), all.end());
}

std::uint64_t SimulatedBoard::validFrameCount() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->validFrames;
}

std::uint64_t SimulatedBoard::badFrameCount() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->badFrames;
}

std::uint64_t SimulatedBoard::replyCount() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->replies;
}

bool SimulatedBoard::waitForFrames(std::size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(impl_->mutex);
  return impl_->changed.wait_for(lock, timeout,
                                 [this, count] { return impl_->validFrames >= count; });
}

bool SimulatedBoard::waitForReplies(std::uint64_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(impl_->mutex);
  return impl_->changed.wait_for(lock, timeout, [this, count] { return impl_->replies >= count; });
}

ChairPose SimulatedBoard::truePose() const {
  return state().pose;
}

MotorSpeeds SimulatedBoard::motorSpeeds() const {
  return state().motors;
}

ChairState SimulatedBoard::state() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  if (impl_->running) {
    impl_->chair.advanceTo(Clock::now());
  }
  return ChairState{impl_->chair.pose(), impl_->chair.motors()};
}

bool SimulatedBoard::waitForClient(bool connected, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(impl_->mutex);
  return impl_->changed.wait_for(lock, timeout,
                                 [this, connected] { return impl_->connected == connected; });
}

}  // namespace tolvarine_board_sim
