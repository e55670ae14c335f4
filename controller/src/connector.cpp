#include "connector.h"

#include <algorithm>
#include <iostream>
#include <utility>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/thread/locks.hpp>

#include "cycle_clock.h"
#include "platform/serial_platform.h"

namespace tolvarine_controller {

namespace {

constexpr std::int64_t kCycleNs = 30 * platform::kNsPerMs;
// A cycle this late keeps its place on the grid: wake-up latency (which on a
// busy machine reaches milliseconds even at real-time priority), a read
// ending on its deadline, a purge held up in the driver. Moving the grid for
// those would make the cycle drift; later than this it is a stall, and the
// grid moves.
constexpr std::int64_t kCycleSlackNs = 10 * platform::kNsPerMs;
constexpr std::int64_t kReadWindowNs = platform::kReadWindowMs * platform::kNsPerMs;
constexpr std::int64_t kPollPauseNs = platform::kNsPerMs;
constexpr std::uint32_t kHandshakeLimitMs = 10000;
constexpr std::uint32_t kOpenSettleMs = 100;
constexpr std::uint32_t kHandshakeSettleMs = 100;
constexpr std::uint32_t kHandshakeQuietMs = 25;
constexpr std::uint32_t kPollPauseMs = 1;

// Time the rest of a status frame takes on the line (10 bit times a byte at
// 38400 baud), rounded up, plus room for the driver and the scheduler.
constexpr std::int64_t kCompletionMarginMs = 5;
std::int64_t completionWindowNs(std::size_t missingBytes) {
  const std::int64_t lineMs = static_cast<std::int64_t>((missingBytes * 10 * 1000 + 38399) / 38400);
  return (lineMs + kCompletionMarginMs) * platform::kNsPerMs;
}

// Boost turns the duration into a deadline on the monotonic clock and sleeps
// until it, so a step of the wall clock cannot stretch a cycle.
void sleepMs(std::uint32_t ms) {
  boost::this_thread::sleep(boost::posix_time::milliseconds(ms));
}

std::uint32_t msSince(std::uint32_t start) {
  return platform::tickMs() - start;
}

bool inRange(std::uint8_t value, std::uint8_t low, std::uint8_t high) {
  return value >= low && value <= high;
}

}  // namespace

Connector::Connector()
    : isOpen(false),
      isRunning(false),
      port(nullptr),
      thread(nullptr),
      parityErrorCount(0),
      sendCount(0),
      linkLost(false),
      linkLossCount(0) {
  platform::beginTimerResolution();
}

Connector::~Connector() {
  close();
}

bool Connector::open(const std::string& name) {
  if (!isOpen) {
    platform::SerialPort* opened = platform::openSerialPort(name);
    if (opened == nullptr) {
      return false;
    }
    boost::lock_guard<boost::mutex> lock(portMutex);
    port = opened;
    isOpen = true;
  }
  portName = name;
  sleepMs(kOpenSettleMs);
  boost::lock_guard<boost::mutex> lock(portMutex);
  platform::purgeInput(*port);
  platform::purgeOutput(*port);
  return true;
}

bool Connector::connect(const std::atomic<bool>* abandon) {
  const std::uint32_t start = platform::tickMs();
  StatusFrame buffer = {};
  const SendData stop;
  while (msSince(start) < kHandshakeLimitMs) {
    if (abandon != nullptr && abandon->load()) {
      return false;
    }
    send(stop);
    // Only a frame with its start byte and check byte proves the board.
    const Reply reply = receive(buffer);
    if (reply == Reply::None) {
      sleepMs(kPollPauseMs);
      continue;
    }
    if (reply != Reply::Frame) {
      continue;
    }
    // The board answers. Let whatever else it had in flight arrive, drop it,
    // and give the line a quiet moment before the cycle starts.
    sleepMs(kHandshakeSettleMs);
    {
      boost::lock_guard<boost::mutex> lock(portMutex);
      platform::purgeInput(*port);
      platform::purgeOutput(*port);
    }
    sleepMs(kHandshakeQuietMs);
    return true;
  }
  return false;
}

void Connector::startThread() {
  if (!isOpen || isRunning || thread != nullptr) {
    return;
  }
  isRunning = true;
  try {
    thread = new boost::thread(&Connector::run, static_cast<void*>(this));
  } catch (...) {
    // No thread runs, so the connector must not claim one does; a later
    // startThread may try again.
    isRunning = false;
    throw;
  }
}

void Connector::setSendData(const SendData& data, bool wait) {
  boost::unique_lock<boost::mutex> lock(sendMutex);
  command = data;
  if (wait) {
    sendCondition.wait(lock);
  }
}

std::uint32_t Connector::nextFrame() {
  boost::lock_guard<boost::mutex> lock(sendMutex);
  return sendCount + 1;
}

bool Connector::setSendDataForFrame(const SendData& data, std::uint32_t frame) {
  boost::lock_guard<boost::mutex> lock(sendMutex);
  if (static_cast<std::int32_t>(sendCount - frame) >= 0) {
    return false;
  }
  command = data;
  return true;
}

void Connector::waitForFrame(std::uint32_t frame) {
  boost::unique_lock<boost::mutex> lock(sendMutex);
  // Counted modulo 2^32, like the tick.
  while (isRunning && static_cast<std::int32_t>(sendCount - frame) < 0) {
    sendCondition.wait(lock);
  }
}

void Connector::getReceiveData(std::vector<ReceiveData>& out, bool wait) {
  boost::unique_lock<boost::mutex> lock(receiveMutex);
  if (wait) {
    receiveCondition.wait(lock);
  }
  out.swap(receiveQueue);
  receiveQueue.clear();
}

void Connector::getReceiveDataFor(std::vector<ReceiveData>& out, std::chrono::milliseconds limit) {
  boost::unique_lock<boost::mutex> lock(receiveMutex);
  if (limit.count() > 0) {
    receiveCondition.timed_wait(lock, boost::posix_time::milliseconds(limit.count()));
  }
  out.swap(receiveQueue);
  receiveQueue.clear();
}

void Connector::stopThread() {
  if (!isRunning || thread == nullptr) {
    return;
  }
  isRunning = false;
  // Notified under their mutexes, so a caller between locking and waiting
  // cannot miss the wake-up.
  {
    boost::lock_guard<boost::mutex> lock(receiveMutex);
    receiveCondition.notify_all();
  }
  {
    boost::lock_guard<boost::mutex> lock(sendMutex);
    sendCondition.notify_all();
  }
  thread->join();
  delete thread;
  thread = nullptr;
}

bool Connector::isLinkLost() const {
  return linkLost.load();
}

std::uint32_t Connector::getLinkLossCount() const {
  return linkLossCount.load();
}

bool Connector::close() {
  if (!isOpen) {
    return true;
  }
  stopThread();
  boost::lock_guard<boost::mutex> lock(portMutex);
  if (port != nullptr) {
    platform::purgeInput(*port);
    platform::purgeOutput(*port);
    platform::closeSerialPort(port);
    port = nullptr;
    isOpen = false;
  }
  return true;
}

bool Connector::send(const SendData& data) {
  if (!isOpen) {
    return false;
  }
  boost::lock_guard<boost::mutex> portLock(portMutex);
  CommandFrame frame;
  {
    boost::lock_guard<boost::mutex> sendLock(sendMutex);
    SendData frameData = data;
    ++sendCount;
    frameData.sequence = static_cast<std::uint8_t>(sendCount % 100 + 10);
    encodeFrame(frameData, frame);
    // Waiters learn that their command is going out now, whether or not the
    // write then succeeds.
    sendCondition.notify_all();
  }
  // The command is copied: whoever sets the next one (a caller's new target,
  // through the control thread's plan) does not wait for the line.
  return platform::writeSerialPort(*port, frame, kCommandFrameSize);
}

Connector::Reply Connector::receive(StatusFrame& buffer, const CycleClock* cycle) {
  boost::lock_guard<boost::mutex> lock(portMutex);
  if (port == nullptr) {
    return Reply::None;
  }
  // The reply is looked for in one read window, plus the time a whole frame
  // takes on the line when one has begun; within a cycle no read may
  // outlast it, as the next frame is due then. A line full of noise cannot
  // keep the search going past that.
  const std::int64_t start = platform::monotonicNs();
  const std::int64_t windowEnd = start + kReadWindowNs;
  std::int64_t searchEnd = windowEnd + completionWindowNs(kStatusFrameSize);
  if (cycle != nullptr) {
    searchEnd = std::min(searchEnd, cycle->deadline());
  }
  const auto readUntil = [this, searchEnd](std::uint8_t* into, std::size_t size, std::int64_t end,
                                           std::size_t& got) {
    const std::int64_t window = std::min(end, searchEnd) - platform::monotonicNs();
    return platform::readSerialPort(*port, into, size, std::max<std::int64_t>(window, 0), got);
  };

  std::size_t held = 0;
  bool ok = readUntil(buffer, kStatusFrameSize, windowEnd, held);
  const bool anyBytes = held > 0;
  Reply reply = anyBytes ? Reply::Rejected : Reply::None;
  while (ok && held > 0) {
    // Noise ahead of the reply shifts it; a frame starts only at a start
    // byte.
    held = alignToFrameStart(buffer, held);
    if (held == 0) {
      // Nothing here could start a frame; the reply may still be on its way
      // within the window.
      if (platform::monotonicNs() >= searchEnd) {
        break;
      }
      ok = readUntil(buffer, kStatusFrameSize, windowEnd, held);
      continue;
    }
    if (held < kStatusFrameSize) {
      // A reply still arriving: finish it instead of dropping half of it,
      // waiting no longer than the missing bytes take on the line.
      std::size_t more = 0;
      const std::size_t missing = kStatusFrameSize - held;
      ok = readUntil(buffer + held, missing, platform::monotonicNs() + completionWindowNs(missing),
                     more);
      held += more;
      if (held < kStatusFrameSize) {
        break;
      }
    }
    if (decodeStatusFrame(buffer).isValid) {
      reply = Reply::Frame;
      break;
    }
    // That start byte led to no frame: look for the next one after it.
    std::copy(buffer + 1, buffer + held, buffer);
    --held;
    if (platform::monotonicNs() >= searchEnd) {
      break;
    }
  }
  // Bytes beyond the frame, or the rest of a reply that never completed,
  // must not shift the next one.
  platform::purgeInput(*port);
  return reply;
}

bool Connector::pushReceiveData(const ReceiveData& data, std::int32_t elapsed) {
  enum class Parity { None, Warning, Error };
  Parity parity = Parity::None;
  std::uint32_t countBefore = 0;
  {
    boost::lock_guard<boost::mutex> lock(receiveMutex);
    if (!data.isValid) {
      return false;
    }
    receiveQueue.push_back(data);
    receiveQueue.back().elapsed = elapsed;

    countBefore = parityErrorCount;
    if (inRange(data.status1, 0x60, 0x6F) || inRange(data.status2, 0x60, 0x6F)) {
      parity = Parity::Warning;
      ++parityErrorCount;
    } else if (inRange(data.status1, 0x70, 0x7F) || inRange(data.status2, 0x70, 0x7F)) {
      parity = Parity::Error;
      ++parityErrorCount;
    } else {
      parityErrorCount = 0;
    }
    receiveCondition.notify_all();
  }
  // Written with no lock held: a console that blocks must never hold up the
  // caller waiting for this record.
  if (parity == Parity::Warning) {
    std::cerr << "TolovarineController : warning parity" << std::endl;
  } else if (parity == Parity::Error) {
    std::cerr << "TolvarineController : error parity cnt=>" << countBefore << std::endl;
  }
  return true;
}

void Connector::run(void* connector) {
  static_cast<Connector*>(connector)->communicate();
}

void Connector::communicate() {
  // Before the first frame, so that it goes out on time too.
  platform::raiseCurrentThreadPriority();
  StatusFrame buffer = {};
  LinkMonitor monitor(platform::tickMs());
  CycleClock cycle(kCycleNs, kCycleSlackNs, platform::monotonicNs());
  bool writeFailing = false;

  while (isRunning) {
    const bool sent = send(command);
    if (!sent) {
      // The device may be gone (an unplugged adapter). Keep trying once per
      // cycle instead of spinning, and say so once per outage.
      if (!writeFailing) {
        std::cerr << "connector error: serial port write failed, retrying every cycle" << std::endl;
        writeFailing = true;
      }
    } else if (writeFailing) {
      std::cerr << "connector: serial port write works again" << std::endl;
      writeFailing = false;
    }
    bool replied = false;
    while (sent && !replied && platform::monotonicNs() < cycle.deadline()) {
      const Reply reply = receive(buffer, &cycle);
      if (reply == Reply::Frame) {
        const std::uint32_t now = platform::tickMs();
        pushReceiveData(decodeStatusFrame(buffer),
                        static_cast<std::int32_t>(monitor.validFrame(now)));
        replied = true;
      } else if (reply == Reply::Rejected) {
        monitor.rejectedFrame();
        replied = true;
      } else {
        // The reply may still come within the cycle; a read that fails at
        // once (a device gone) must not spin.
        platform::sleepUntil(std::min(platform::monotonicNs() + kPollPauseNs, cycle.deadline()));
      }
    }

    const LinkReport linkReport = monitor.check(platform::tickMs());
    linkLost = monitor.lost();
    linkLossCount = monitor.losses();
    report(linkReport);

    platform::sleepUntil(cycle.deadline());
    cycle.next(platform::monotonicNs());
  }
  send(SendData());
}

void Connector::report(const LinkReport& linkReport) {
  if (linkReport.backAfterMs > 0) {
    std::cerr << "connector: " << portName << " answers again after " << linkReport.backAfterMs
              << " ms without a valid status frame" << std::endl;
  }
  if (linkReport.lostAfterMs > 0) {
    std::cerr << "connector error: no valid status frame from " << portName << " for "
              << linkReport.lostAfterMs << " ms, the link is lost" << std::endl;
  }
  if (linkReport.rejected > 0) {
    std::cerr << "connector warning: " << linkReport.rejected << " status frame"
              << (linkReport.rejected == 1 ? "" : "s") << " from " << portName
              << " rejected for a bad start or check byte" << std::endl;
  }
}

}  // namespace tolvarine_controller
