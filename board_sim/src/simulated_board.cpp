#include "tolvarine_board_sim/simulated_board.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <random>
#include <thread>

namespace tolvarine_board_sim {
namespace {

using namespace std::chrono_literals;

constexpr std::uint8_t kStartOfFrame = 0x02;
constexpr std::uint8_t kEscapedCheck = 0xFD;
constexpr std::size_t kCommandSize = 12;
constexpr std::size_t kStatusSize = 9;

constexpr std::uint8_t kDirectionPositive = 0x41;
constexpr std::uint8_t kDirectionNegative = 0x40;

// Counts per m/s with which the controller encodes the wheel speeds.
constexpr double kRightGain = 123.29166666666666;
constexpr double kLeftGain = 124.41666666666669;
// mm/s per count of the reported wheel speeds (293/15).
constexpr double kWheelCountUnit = 19.533333333333335;
constexpr int kWheelCountCentre = 128;
constexpr double kTread = 0.5488;  // m

// A run of bytes that cannot start a frame is closed (and recorded) once the
// line has been quiet this long, so garbage shows up as one bad frame.
constexpr auto kJunkQuietTime = 5ms;
// While no client holds the slave open the master reports POLLHUP at once;
// this pause keeps that from becoming a busy loop.
constexpr auto kDisconnectedPause = 2ms;
// Longest sleep of the board thread; the simulation also catches up whenever
// it is observed, so this only bounds the watchdog and idle bookkeeping.
constexpr auto kLongestSleep = 20ms;

std::uint8_t checkByte(const std::uint8_t* bytes, std::size_t count) {
  unsigned sum = 0;
  for (std::size_t i = 0; i < count; ++i) {
    sum += bytes[i];
  }
  const auto check = static_cast<std::uint8_t>(sum & 0xFFu);
  // A check byte never looks like a start byte.
  return check == kStartOfFrame ? kEscapedCheck : check;
}

// Motor speed (m/s, forward positive) commanded by one direction/speed pair.
// `sense` is +1 when the positive direction byte drives the motor forward.
// Any direction byte other than the two running values stops the motor.
double commandedSpeed(std::uint8_t direction, std::uint8_t speed, double gain, double sense) {
  if (direction == kDirectionPositive) {
    return sense * speed / gain;
  }
  if (direction == kDirectionNegative) {
    return -sense * speed / gain;
  }
  return 0.0;
}

// Wheel count reported for a motor speed; `sense` is +1 when counts above the
// centre mean forward. Rounded to the nearest count, then clamped to a byte.
// With `carry`, the fraction of a count not reported is added to the next
// report; a clamped report starts the carry afresh.
std::uint8_t wheelCount(double metresPerSecond, int sense, double* carry) {
  double counts = metresPerSecond * 1000.0 / kWheelCountUnit;
  if (!std::isfinite(counts)) {
    if (carry != nullptr) {
      *carry = 0.0;
    }
    return static_cast<std::uint8_t>(kWheelCountCentre);
  }
  if (carry != nullptr) {
    counts += *carry;
  }
  const long rounded = std::lround(std::clamp(counts, -1000.0, 1000.0));
  const long value = kWheelCountCentre + sense * rounded;
  const long reported = std::clamp(value, 0L, 255L);
  if (carry != nullptr) {
    *carry = reported == value ? counts - static_cast<double>(rounded) : 0.0;
  }
  return static_cast<std::uint8_t>(reported);
}

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

std::string errnoText(const char* what) {
  return std::string(what) + ": " + std::strerror(errno);
}

}  // namespace

struct SimulatedBoard::Impl {
  explicit Impl(const BoardOptions& o) : options(o) {}

  // A write the board thread still has to do.
  struct Pending {
    Clock::time_point due;
    bool isReplyStart = false;  // build the status frame when due
    bool isNoise = false;       // bytes that are no part of a reply
    bool corrupt = false;
    std::uint8_t status1 = 0;
    std::uint8_t status2 = 0;
    std::size_t splitFirst = 0;
    std::chrono::microseconds splitGap{0};
    std::vector<std::uint8_t> bytes;  // rest of a split reply
  };

  // ---- Guarded by `mutex` -------------------------------------------------
  mutable std::mutex mutex;
  mutable std::condition_variable changed;

  BoardOptions options;
  bool running = false;
  std::string device;
  std::vector<std::string> links;

  // Faults.
  bool silent = false;
  std::optional<std::uint64_t> repliesLeft;
  unsigned dropEvery = 0;
  unsigned dropCounter = 0;
  unsigned corruptEvery = 0;
  unsigned corruptCounter = 0;
  std::size_t splitFirst = 0;
  std::chrono::microseconds splitGap{0};
  std::vector<std::uint8_t> strayOnce;
  unsigned strayEvery = 0;
  unsigned strayCounter = 0;
  double leftCountCarry = 0.0;   // counts not yet reported, left wheel
  double rightCountCarry = 0.0;  // counts not yet reported, right wheel
  std::vector<std::uint8_t> strayEveryBytes;
  unsigned noiseEvery = 0;
  unsigned noiseCounter = 0;
  std::size_t noiseMaxBytes = 0;
  std::chrono::microseconds noiseDelay{0};
  std::minstd_rand noiseSource;

  // Observation.
  std::vector<ReceivedFrame> frames;
  std::uint64_t validFrames = 0;
  std::uint64_t badFrames = 0;
  std::uint64_t replies = 0;
  bool connected = false;

  // Chair model. Simulated time runs in whole integration steps from simStart.
  Clock::time_point simStart;
  std::uint64_t simSteps = 0;
  ChairPose pose;
  MotorSpeeds target;   // commanded
  MotorSpeeds limited;  // after the acceleration limit
  MotorSpeeds motors;   // after the lag: what the wheels do
  Clock::time_point lastCommandAt;
  bool watchdogTripped = false;

  // ---- Board thread only (and start/stop while it does not run) -----------
  int master = -1;
  int wake = -1;
  std::thread thread;
  std::atomic<bool> stopRequested{false};
  std::vector<std::uint8_t> input;  // bytes not yet assembled
  std::size_t coveredBytes = 0;     // leading bytes of `input` already in a recorded bad frame
  std::vector<std::uint8_t> junk;   // current run of bytes that cannot start a frame
  Clock::time_point junkAt;
  std::vector<Pending> pending;  // ordered by `due`
  bool threadSeesClient = false;

  // ---- Simulation (mutex held) ----------------------------------------------
  void advanceTo(Clock::time_point now) {
    if (options.commandWatchdog.count() > 0 && !watchdogTripped) {
      const auto expiry = lastCommandAt + options.commandWatchdog;
      if (now >= expiry) {
        // The motors stop at the moment the watchdog ran out.
        advanceSteps(expiry);
        watchdogTripped = true;
        setTarget(MotorSpeeds());
      }
    }
    advanceSteps(now);
  }

  void advanceSteps(Clock::time_point now) {
    const double dt = options.integrationStep > 0.0 ? options.integrationStep : 0.001;
    const double elapsed = std::chrono::duration<double>(now - simStart).count();
    if (elapsed <= 0.0) {
      return;
    }
    const auto targetSteps = static_cast<std::uint64_t>(std::floor(elapsed / dt));
    while (simSteps < targetSteps) {
      step(dt);
      ++simSteps;
      pose.time = static_cast<double>(simSteps) * dt;
    }
  }

  static double rateLimit(double current, double wanted, double maxChange) {
    if (maxChange <= 0.0) {
      return wanted;
    }
    return current + std::clamp(wanted - current, -maxChange, maxChange);
  }

  // One integration step: motors first, then the pose along an exact arc
  // driven by the mean of the wheel speeds at the start and end of the step.
  void step(double dt) {
    const MotorSpeeds before = motors;
    const double maxChange = options.maxAcceleration > 0.0 ? options.maxAcceleration * dt : 0.0;
    limited.right = rateLimit(limited.right, target.right, maxChange);
    limited.left = rateLimit(limited.left, target.left, maxChange);
    if (options.lagTimeConstant > 0.0) {
      const double alpha = 1.0 - std::exp(-dt / options.lagTimeConstant);
      motors.right += (limited.right - motors.right) * alpha;
      motors.left += (limited.left - motors.left) * alpha;
    } else {
      motors = limited;
    }

    const double right = 0.5 * (before.right + motors.right);
    const double left = 0.5 * (before.left + motors.left);
    const double v = 0.5 * (right + left);
    const double w = (right - left) / kTread;
    const double theta = pose.theta;
    if (std::fabs(w) < 1e-12) {
      pose.x += v * dt * std::cos(theta);
      pose.y += v * dt * std::sin(theta);
    } else {
      const double radius = v / w;
      pose.x += radius * (std::sin(theta + w * dt) - std::sin(theta));
      pose.y -= radius * (std::cos(theta + w * dt) - std::cos(theta));
    }
    pose.theta = theta + w * dt;
    pose.distance += std::fabs(v) * dt;
  }

  // A new target with a motor model that responds at once is in force from
  // this instant, not from the next integration step.
  void setTarget(const MotorSpeeds& wanted) {
    target = wanted;
    if (options.maxAcceleration <= 0.0) {
      limited = target;
      if (options.lagTimeConstant <= 0.0) {
        motors = limited;
      }
    }
  }

  void resetState(Clock::time_point now) {
    frames.clear();
    validFrames = badFrames = replies = 0;
    connected = false;
    simStart = now;
    simSteps = 0;
    pose = ChairPose();
    target = limited = motors = MotorSpeeds();
    lastCommandAt = now;
    watchdogTripped = false;
    dropCounter = corruptCounter = strayCounter = 0;
    leftCountCarry = rightCountCarry = 0.0;
  }

  // ---- Board thread -------------------------------------------------------
  void run();
  void onBytes(const std::uint8_t* data, std::size_t count, Clock::time_point now);
  void assemble(Clock::time_point now);
  void closeJunk();
  void onFrame(const std::uint8_t* bytes, Clock::time_point at);
  void doDueWrites(Clock::time_point now);
  void writeReplyStart(Pending& p, Clock::time_point now);
  bool writeBytes(const std::uint8_t* bytes, std::size_t count);
  void onClientGone();
  void schedule(Pending p);
};

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
  while (!stopRequested.load()) {
    auto now = Clock::now();
    Clock::time_point deadline = now + kLongestSleep;
    if (!pending.empty()) {
      deadline = std::min(deadline, pending.front().due);
    }
    if (!junk.empty()) {
      deadline = std::min(deadline, junkAt + kJunkQuietTime);
    }
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (options.commandWatchdog.count() > 0 && !watchdogTripped) {
        deadline = std::min(deadline, lastCommandAt + options.commandWatchdog);
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
    if (received > 0) {
      onBytes(buffer, static_cast<std::size_t>(received), now);
    }

    if (!junk.empty() && now - junkAt >= kJunkQuietTime) {
      closeJunk();
    }
    doDueWrites(now);
    {
      std::lock_guard<std::mutex> lock(mutex);
      advanceTo(now);
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

void SimulatedBoard::Impl::onClientGone() {
  if (!threadSeesClient) {
    return;
  }
  threadSeesClient = false;
  // A frame cut off by the close is recorded as it stands. What assemble()
  // leaves behind is empty or starts with a start byte.
  if (!junk.empty()) {
    closeJunk();
  }
  if (!input.empty()) {
    ReceivedFrame frame;
    frame.at = Clock::now();
    std::copy_n(input.begin(), std::min(kCommandSize, input.size()), frame.bytes.begin());
    std::lock_guard<std::mutex> lock(mutex);
    frames.push_back(frame);
    ++badFrames;
  }
  input.clear();
  coveredBytes = 0;
  pending.clear();
  // Replies the client never read would greet the next client, and its
  // exclusive-access flag outlives its close and would lock out the next
  // unprivileged open. Both need a descriptor on the slave, which we get
  // unless that very flag stops us (a client should clear it before closing).
  tcflush(master, TCOFLUSH);
  {
    std::string path;
    {
      std::lock_guard<std::mutex> lock(mutex);
      path = device;
    }
    const int slave = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (slave >= 0) {
      ioctl(slave, TIOCNXCL);
      tcflush(slave, TCIFLUSH);
      ::close(slave);
    }
  }
  std::lock_guard<std::mutex> lock(mutex);
  connected = false;
  changed.notify_all();
}

void SimulatedBoard::Impl::onBytes(const std::uint8_t* data, std::size_t count,
                                   Clock::time_point now) {
  input.insert(input.end(), data, data + count);
  assemble(now);
}

// Hunts for a start byte, takes 12 bytes from it and validates them. A bad
// frame is recorded and hunting resumes right after its start byte; bytes
// that cannot start a frame are collected into one junk record.
void SimulatedBoard::Impl::assemble(Clock::time_point now) {
  std::size_t pos = 0;
  while (pos < input.size()) {
    if (input[pos] != kStartOfFrame) {
      if (coveredBytes > 0) {
        --coveredBytes;
      } else {
        junk.push_back(input[pos]);
        junkAt = now;
      }
      ++pos;
      continue;
    }
    if (!junk.empty()) {
      closeJunk();
    }
    if (input.size() - pos < kCommandSize) {
      break;  // wait for the rest of the frame
    }
    const std::uint8_t* frame = input.data() + pos;
    const bool valid = checkByte(frame + 1, kCommandSize - 2) == frame[kCommandSize - 1];
    if (valid) {
      onFrame(frame, now);
      pos += kCommandSize;
      coveredBytes = 0;
    } else {
      ReceivedFrame record;
      record.at = now;
      std::copy_n(frame, kCommandSize, record.bytes.begin());
      record.valid = false;
      {
        std::lock_guard<std::mutex> lock(mutex);
        frames.push_back(record);
        ++badFrames;
      }
      pos += 1;
      coveredBytes = kCommandSize - 1;
    }
  }
  // What is left is empty or starts with a start byte awaiting the rest.
  input.erase(input.begin(), input.begin() + static_cast<std::ptrdiff_t>(pos));
}

void SimulatedBoard::Impl::closeJunk() {
  ReceivedFrame record;
  record.at = junkAt;
  std::copy_n(junk.begin(), std::min(junk.size(), kCommandSize), record.bytes.begin());
  record.valid = false;
  junk.clear();
  std::lock_guard<std::mutex> lock(mutex);
  frames.push_back(record);
  ++badFrames;
}

void SimulatedBoard::Impl::onFrame(const std::uint8_t* bytes, Clock::time_point at) {
  ReceivedFrame record;
  record.at = at;
  std::copy_n(bytes, kCommandSize, record.bytes.begin());
  record.valid = true;

  Pending reply;
  bool answer = false;
  {
    std::lock_guard<std::mutex> lock(mutex);
    // The command takes effect at its arrival.
    advanceTo(at);
    MotorSpeeds wanted;
    // Left motor: the positive direction byte drives it backward.
    wanted.left = commandedSpeed(bytes[1], bytes[3], kLeftGain, -1.0);
    wanted.right = commandedSpeed(bytes[2], bytes[4], kRightGain, +1.0);
    setTarget(wanted);
    lastCommandAt = at;
    watchdogTripped = false;

    if (!silent && (!repliesLeft || *repliesLeft > 0)) {
      bool drop = false;
      if (dropEvery > 0 && ++dropCounter >= dropEvery) {
        dropCounter = 0;
        drop = true;
      }
      if (!drop) {
        answer = true;
        if (repliesLeft) {
          --*repliesLeft;
        }
        if (corruptEvery > 0 && ++corruptCounter >= corruptEvery) {
          corruptCounter = 0;
          reply.corrupt = true;
        }
        reply.due = at + options.replyDelay;
        reply.isReplyStart = true;
        reply.status1 = options.status1;
        reply.status2 = options.status2;
        reply.splitFirst = splitFirst;
        reply.splitGap = splitGap;
      }
    }
    frames.push_back(record);
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
    } else if (writeBytes(p.bytes.data(), p.bytes.size()) && !p.isNoise) {
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
    advanceTo(now);
    frame[0] = kStartOfFrame;
    frame[1] = p.status1;
    frame[2] = p.status2;
    const bool carry = options.carryCountFraction;
    // wheelSpeed1: left, forward below the centre; wheelSpeed2: right, above.
    frame[3] = wheelCount(motors.left, -1, carry ? &leftCountCarry : nullptr);
    frame[4] = wheelCount(motors.right, +1, carry ? &rightCountCarry : nullptr);
    stray.swap(strayOnce);
    if (strayEvery > 0 && !strayEveryBytes.empty() && ++strayCounter >= strayEvery) {
      strayCounter = 0;
      stray.insert(stray.end(), strayEveryBytes.begin(), strayEveryBytes.end());
    }
  }
  frame[8] = checkByte(frame + 1, 7);
  if (p.corrupt) {
    frame[8] ^= 0x5A;
  }
  if (!stray.empty()) {
    writeBytes(stray.data(), stray.size());
  }
  if (p.splitFirst > 0 && p.splitFirst < kStatusSize) {
    if (!writeBytes(frame, p.splitFirst)) {
      return;
    }
    Pending rest;
    rest.due = now + p.splitGap;
    rest.bytes.assign(frame + p.splitFirst, frame + kStatusSize);
    schedule(std::move(rest));
    return;
  }
  if (!writeBytes(frame, kStatusSize)) {
    return;
  }
  Pending noise;
  {
    std::lock_guard<std::mutex> lock(mutex);
    ++replies;
    changed.notify_all();
    if (noiseEvery > 0 && noiseMaxBytes > 0 && ++noiseCounter >= noiseEvery) {
      noiseCounter = 0;
      noise.bytes.resize(1 + noiseSource() % noiseMaxBytes);
      for (std::uint8_t& b : noise.bytes) {
        b = static_cast<std::uint8_t>(noiseSource());
      }
      noise.due = now + noiseDelay;
      noise.isNoise = true;
    }
  }
  if (noise.isNoise) {
    schedule(std::move(noise));
  }
}

bool SimulatedBoard::Impl::writeBytes(const std::uint8_t* bytes, std::size_t count) {
  std::size_t done = 0;
  int attempts = 0;
  while (done < count && attempts < 3) {
    const ssize_t n = ::write(master, bytes + done, count - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
      return false;
    } else {
      ++attempts;
    }
  }
  return done == count;
}

// ---- SimulatedBoard -------------------------------------------------------

SimulatedBoard::SimulatedBoard(BoardOptions options) : impl_(new Impl(options)) {}

SimulatedBoard::~SimulatedBoard() {
  stop();
}

bool SimulatedBoard::start(std::string* error) {
  auto fail = [error](const std::string& why) {
    if (error != nullptr) {
      *error = why;
    }
    return false;
  };
  Impl& d = *impl_;
  {
    std::lock_guard<std::mutex> lock(d.mutex);
    if (d.running) {
      return fail("the board is already running on " + d.device);
    }
  }

  const int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (master < 0) {
    return fail(errnoText("posix_openpt"));
  }
  auto failClosing = [&](const std::string& why) {
    ::close(master);
    return fail(why);
  };
  if (grantpt(master) != 0) {
    return failClosing(errnoText("grantpt"));
  }
  if (unlockpt(master) != 0) {
    return failClosing(errnoText("unlockpt"));
  }
  char name[128] = {};
  if (ptsname_r(master, name, sizeof name) != 0) {
    return failClosing(errnoText("ptsname"));
  }
  // Raw from the start, so nothing is echoed before the client sets the line up.
  termios tio{};
  if (tcgetattr(master, &tio) != 0) {
    return failClosing(errnoText("tcgetattr"));
  }
  cfmakeraw(&tio);
  cfsetispeed(&tio, B38400);
  cfsetospeed(&tio, B38400);
  if (tcsetattr(master, TCSANOW, &tio) != 0) {
    return failClosing(errnoText("tcsetattr"));
  }
  // Until its slave has been opened once, a master does not report the
  // absence of a client; one open and close here makes POLLHUP mean "no
  // client" from the start.
  const int slave = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (slave < 0) {
    return failClosing(errnoText(name));
  }
  ::close(slave);

  const int wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wake < 0) {
    return failClosing(errnoText("eventfd"));
  }
  fcntl(master, F_SETFD, FD_CLOEXEC);

  d.master = master;
  d.wake = wake;
  d.input.clear();
  d.coveredBytes = 0;
  d.junk.clear();
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
    d.advanceTo(Clock::now());
    d.connected = false;
    device = d.device;
    d.changed.notify_all();
  }
  // Remove only links that still point at our device.
  for (const auto& link : links) {
    char target[PATH_MAX] = {};
    const ssize_t len = readlink(link.c_str(), target, sizeof target - 1);
    if (len > 0 && device == std::string(target, static_cast<std::size_t>(len))) {
      ::unlink(link.c_str());
    }
  }
}

std::string SimulatedBoard::devicePath() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->device;
}

Clock::time_point SimulatedBoard::startedAt() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->simStart;
}

bool SimulatedBoard::createLink(const std::string& path, std::string* error) {
  Impl& d = *impl_;
  std::lock_guard<std::mutex> lock(d.mutex);
  auto fail = [error](const std::string& why) {
    if (error != nullptr) {
      *error = why;
    }
    return false;
  };
  if (!d.running) {
    return fail("the board is not running, so there is no device to link to");
  }
  if (path.empty()) {
    return fail("empty link path");
  }
  // Only a link may be replaced: a real file at that path is not ours.
  struct stat existing {};
  if (::lstat(path.c_str(), &existing) == 0 && !S_ISLNK(existing.st_mode)) {
    return fail(path + " exists and is not a symbolic link");
  }
  // Made under a temporary name and renamed over `path`, so an existing link
  // is replaced in one step.
  const std::string temporary = path + ".tmp" + std::to_string(::getpid());
  ::unlink(temporary.c_str());
  if (::symlink(d.device.c_str(), temporary.c_str()) != 0) {
    return fail(errnoText(("symlink " + path).c_str()));
  }
  if (::rename(temporary.c_str(), path.c_str()) != 0) {
    const std::string why = errnoText(("rename to " + path).c_str());
    ::unlink(temporary.c_str());
    return fail(why);
  }
  if (std::find(d.links.begin(), d.links.end(), path) == d.links.end()) {
    d.links.push_back(path);
  }
  return true;
}

void SimulatedBoard::setSilent(bool silent) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->silent = silent;
}

void SimulatedBoard::stopAnsweringAfter(std::uint64_t replies) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->repliesLeft = replies;
}

void SimulatedBoard::resumeAnswering() {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->silent = false;
  impl_->repliesLeft.reset();
}

void SimulatedBoard::setReplyDelay(std::chrono::microseconds delay) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->options.replyDelay = std::max(delay, std::chrono::microseconds::zero());
}

void SimulatedBoard::setDropEvery(unsigned n) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->dropEvery = n;
  impl_->dropCounter = 0;
}

void SimulatedBoard::setCorruptEvery(unsigned n) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->corruptEvery = n;
  impl_->corruptCounter = 0;
}

void SimulatedBoard::setStatusBytes(std::uint8_t status1, std::uint8_t status2) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->options.status1 = status1;
  impl_->options.status2 = status2;
}

void SimulatedBoard::setSplitReply(std::size_t firstPart, std::chrono::microseconds gap) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->splitFirst = firstPart;
  impl_->splitGap = std::max(gap, std::chrono::microseconds::zero());
}

void SimulatedBoard::sendStrayBytes(std::vector<std::uint8_t> bytes) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->strayOnce.insert(impl_->strayOnce.end(), bytes.begin(), bytes.end());
}

void SimulatedBoard::setStrayEvery(unsigned n, std::vector<std::uint8_t> bytes) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->strayEvery = n;
  impl_->strayEveryBytes = std::move(bytes);
  impl_->strayCounter = 0;
}

void SimulatedBoard::setNoiseAfterEvery(unsigned n, std::size_t maxBytes,
                                        std::chrono::microseconds delay) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->noiseEvery = n;
  impl_->noiseMaxBytes = maxBytes;
  impl_->noiseDelay = std::max(delay, std::chrono::microseconds::zero());
  impl_->noiseCounter = 0;
  impl_->noiseSource.seed(1);
}

void SimulatedBoard::setCommandWatchdog(std::chrono::milliseconds timeout) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->options.commandWatchdog = std::max(timeout, std::chrono::milliseconds::zero());
  // Counted from now, so switching it on does not stop the chair at once.
  impl_->lastCommandAt = Clock::now();
  impl_->watchdogTripped = false;
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
    impl_->advanceTo(Clock::now());
  }
  return ChairState{impl_->pose, impl_->motors};
}

bool SimulatedBoard::clientConnected() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->connected;
}

bool SimulatedBoard::waitForClient(bool connected, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(impl_->mutex);
  return impl_->changed.wait_for(lock, timeout,
                                 [this, connected] { return impl_->connected == connected; });
}

}  // namespace tolvarine_board_sim
