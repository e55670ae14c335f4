// The board's thread: it reads the line, answers every valid command frame
// (with the faults it was told to show), and keeps the chair model going.
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "board_impl.h"
#include "pty_device.h"
#include "wire_format.h"

namespace tolvarine_board_sim {
namespace {

using namespace std::chrono_literals;

// While no client holds the slave open the master reports POLLHUP at once;
// this pause keeps that from becoming a busy loop.
constexpr auto kDisconnectedPause = 2ms;
// Longest sleep of the board thread; the simulation also catches up whenever
// it is observed, so this only bounds the watchdog and idle bookkeeping.
constexpr auto kLongestSleep = 20ms;

timespec toTimespec(Clock::duration d) {
  if (d < Clock::duration::zero()) {
    d = Clock::duration::zero();
  }
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(d).count();
  timespec ts{};
  ts.tv_sec = static_cast<time_t>(ns / 1000000000);
  ts.tv_nsec = static_cast<long>(ns % 1000000000);
  return ts;
}

}  // namespace

void SimulatedBoard::Impl::resetState(Clock::time_point now) {
  frames.clear();
  validFrames = badFrames = replies = 0;
  connected = false;
  chair.reset(now);
  faults.restartCounts();
  leftCountCarry = rightCountCarry = 0.0;
}

void SimulatedBoard::Impl::schedule(Pending p) {
  const auto pos =
      std::upper_bound(pending.begin(), pending.end(), p.due,
                       [](Clock::time_point t, const Pending& q) { return t < q.due; });
  pending.insert(pos, std::move(p));
}

void SimulatedBoard::Impl::run() {
  // A board is hardware: it answers whatever the computer is busy with. At
  // real-time priority, where the system grants it, a loaded machine cannot
  // hold its replies back long enough to look like a lost link. Refused, it
  // runs as it is.
  sched_param param{};
  const int low = sched_get_priority_min(SCHED_FIFO);
  param.sched_priority = low + (sched_get_priority_max(SCHED_FIFO) - low) / 4;
  pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
  std::uint8_t buffer[512];
  std::vector<ReceivedFrame> records;
  while (!stopRequested.load()) {
    auto now = Clock::now();
    Clock::time_point deadline = now + kLongestSleep;
    Clock::time_point due;
    if (!pending.empty()) {
      deadline = std::min(deadline, pending.front().due);
    }
    if (assembler.junkDeadline(due)) {
      deadline = std::min(deadline, due);
    }
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (chair.watchdogDeadline(due)) {
        deadline = std::min(deadline, due);
      }
    }

    pollfd fds[2] = {{master, POLLIN, 0}, {wake, POLLIN, 0}};
    const timespec timeout = toTimespec(deadline - now);
    const int ready = ppoll(fds, 2, &timeout, nullptr);
    if (ready < 0) {
      if (errno != EINTR) {
        std::this_thread::sleep_for(kDisconnectedPause);
      }
      continue;
    }
    if (fds[1].revents & POLLIN) {
      std::uint64_t value = 0;
      [[maybe_unused]] const auto n = ::read(wake, &value, sizeof value);
      continue;  // re-checks stopRequested
    }

    // Without a client the master reports POLLHUP, and read() fails with EIO.
    bool clientPresent = (fds[0].revents & (POLLHUP | POLLERR)) == 0;
    ssize_t received = 0;
    if (fds[0].revents & POLLIN) {
      received = ::read(master, buffer, sizeof buffer);
      clientPresent = received >= 0 || errno != EIO;
    }
    now = Clock::now();
    if (!clientPresent) {
      onClientGone();
    } else if (!threadSeesClient) {
      threadSeesClient = true;
      std::lock_guard<std::mutex> lock(mutex);
      connected = true;
      changed.notify_all();
    }
    records.clear();
    if (received > 0) {
      assembler.feed(buffer, static_cast<std::size_t>(received), now, records);
    }
    assembler.closeQuietJunk(now, records);
    take(records);
    doDueWrites(now);
    {
      std::lock_guard<std::mutex> lock(mutex);
      chair.advanceTo(now);
    }

    if (!clientPresent) {
      // Nothing to read until a client opens the slave; wait on the wake-up
      // descriptor only, so stop() stays prompt.
      pollfd w{wake, POLLIN, 0};
      const timespec pause = toTimespec(kDisconnectedPause);
      ppoll(&w, 1, &pause, nullptr);
    }
  }
}

void SimulatedBoard::Impl::take(const std::vector<ReceivedFrame>& records) {
  for (const ReceivedFrame& record : records) {
    if (record.valid) {
      onFrame(record);
    } else {
      std::lock_guard<std::mutex> lock(mutex);
      frames.push_back(record);
      ++badFrames;
    }
  }
}

void SimulatedBoard::Impl::onClientGone() {
  if (!threadSeesClient) {
    return;
  }
  threadSeesClient = false;
  std::vector<ReceivedFrame> records;
  assembler.clientGone(Clock::now(), records);
  take(records);
  pending.clear();
  std::string path;
  {
    std::lock_guard<std::mutex> lock(mutex);
    path = device;
  }
  forgetClient(master, path);
  std::lock_guard<std::mutex> lock(mutex);
  connected = false;
  changed.notify_all();
}

void SimulatedBoard::Impl::onFrame(const ReceivedFrame& frame) {
  Pending reply;
  bool answer = false;
  {
    std::lock_guard<std::mutex> lock(mutex);
    chair.command(commandedSpeeds(frame.bytes.data()), frame.at);
    answer = faults.answer(reply.corrupt);
    if (answer) {
      reply.due = frame.at + options.replyDelay;
      reply.isReplyStart = true;
      reply.status1 = options.status1;
      reply.status2 = options.status2;
      reply.splitFirst = faults.splitFirst;
      reply.splitGap = faults.splitGap;
    }
    frames.push_back(frame);
    ++validFrames;
    changed.notify_all();
  }
  if (answer) {
    schedule(std::move(reply));
  }
}

void SimulatedBoard::Impl::doDueWrites(Clock::time_point now) {
  while (!pending.empty() && pending.front().due <= now) {
    Pending p = std::move(pending.front());
    pending.erase(pending.begin());
    if (p.isReplyStart) {
      writeReplyStart(p, now);
    } else if (writeAll(master, p.bytes.data(), p.bytes.size()) && !p.isNoise) {
      std::lock_guard<std::mutex> lock(mutex);
      ++replies;
      changed.notify_all();
    }
  }
}

void SimulatedBoard::Impl::writeReplyStart(Pending& p, Clock::time_point now) {
  std::uint8_t frame[kStatusSize] = {};
  std::vector<std::uint8_t> stray;
  {
    std::lock_guard<std::mutex> lock(mutex);
    chair.advanceTo(now);
    frame[0] = kStartOfFrame;
    frame[1] = p.status1;
    frame[2] = p.status2;
    const bool carry = options.carryCountFraction;
    // wheelSpeed1: left, forward below the centre; wheelSpeed2: right, above.
    frame[3] = wheelCount(chair.motors().left, -1, carry ? &leftCountCarry : nullptr);
    frame[4] = wheelCount(chair.motors().right, +1, carry ? &rightCountCarry : nullptr);
    stray = faults.strayBeforeReply();
  }
  frame[8] = checkByte(frame + 1, 7);
  if (p.corrupt) {
    frame[8] ^= 0x5A;
  }
  if (!stray.empty()) {
    writeAll(master, stray.data(), stray.size());
  }
  if (p.splitFirst > 0 && p.splitFirst < kStatusSize) {
    if (!writeAll(master, frame, p.splitFirst)) {
      return;
    }
    Pending rest;
    rest.due = now + p.splitGap;
    rest.bytes.assign(frame + p.splitFirst, frame + kStatusSize);
    schedule(std::move(rest));
    return;
  }
  if (!writeAll(master, frame, kStatusSize)) {
    return;
  }
  Pending noise;
  {
    std::lock_guard<std::mutex> lock(mutex);
    ++replies;
    changed.notify_all();
    noise.bytes = faults.noiseAfterReply();
    noise.due = now + faults.noiseDelay();
    noise.isNoise = !noise.bytes.empty();
  }
  if (noise.isNoise) {
    schedule(std::move(noise));
  }
}

}  // namespace tolvarine_board_sim
