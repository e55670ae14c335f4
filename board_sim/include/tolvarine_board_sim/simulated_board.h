#ifndef TOLVARINE_BOARD_SIM_SIMULATED_BOARD_H
#define TOLVARINE_BOARD_SIM_SIMULATED_BOARD_H

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

namespace tolvarine_board_sim {

using Clock = std::chrono::steady_clock;

// The chair's true pose, integrated from the motor speeds at a fine step.
struct ChairPose {
  double x = 0.0;         // m, start frame, x ahead at start
  double y = 0.0;         // m, to the left at start
  double theta = 0.0;     // rad, counter-clockwise positive, never wrapped
  double distance = 0.0;  // m, path length of the chair's centre
  double time = 0.0;      // s, simulated time since start()
};

// Speeds of the two drive motors, forward positive.
struct MotorSpeeds {
  double right = 0.0;  // m/s
  double left = 0.0;   // m/s
};

// Pose and motor speeds taken at the same simulated instant.
struct ChairState {
  ChairPose pose;
  MotorSpeeds motors;
};

// One command frame as it arrived on the line. A run of bytes that could not
// start a frame (no 0x02 in it) is recorded as one invalid frame holding its
// first 12 bytes, zero-padded.
struct ReceivedFrame {
  Clock::time_point at;                  // arrival of its last byte (monotonic)
  std::array<std::uint8_t, 12> bytes{};  // as received
  bool valid = false;                    // start byte and check byte correct
};

// `count` bytes in hex, separated by spaces ("02 30 30").
std::string hexBytes(const std::uint8_t* bytes, std::size_t count);

// The tools' record of received frames, CSV under this header: a line per
// frame with its arrival in seconds since `start`, its bytes in hex and 1 for
// a valid frame, else 0.
constexpr const char* kFrameLogHeader = "time_s,bytes,valid";
void writeFrameLog(std::ostream& out, const std::vector<ReceivedFrame>& frames,
                   Clock::time_point start);

struct BoardOptions {
  // Time from a complete command frame to the start of the reply.
  std::chrono::microseconds replyDelay{2000};
  // Status bytes 1 and 2: a no-fault value outside the parity ranges.
  std::uint8_t status1 = 0x41;
  std::uint8_t status2 = 0x41;
  // Motor response: acceleration limit per wheel (m/s^2, <= 0 means the
  // commanded speed is taken at once), then an optional first-order lag.
  double maxAcceleration = 1.5;
  double lagTimeConstant = 0.0;  // s, 0 = no lag
  // s; each step moves the chair along an exact arc at the mean of the wheel
  // speeds at the step's start and end.
  double integrationStep = 0.001;
  // Wheel counts: true reports each speed as the nearest whole count and
  // carries the fraction left over into the next report, as a board that
  // counts encoder pulses does, so the counts average out to the true speed.
  // false rounds every report on its own, which biases the odometry whenever
  // a speed sits between two counts.
  bool carryCountFraction = true;
  // Stops both motors when no valid command frame has arrived for this long
  // (0 = off: the last command stays in force).
  std::chrono::milliseconds commandWatchdog{0};
};

// Plays the wheelchair's control board on a pseudo-terminal. Every method is
// thread-safe; fault settings take effect from the next command frame.
// Each reply reports the wheels' speeds at the moment it is written, as
// counts centred on 128 (19.5333 mm/s per count, rounded to the nearest).
class SimulatedBoard {
 public:
  explicit SimulatedBoard(BoardOptions options = BoardOptions());
  ~SimulatedBoard();  // stop()
  SimulatedBoard(const SimulatedBoard&) = delete;
  SimulatedBoard& operator=(const SimulatedBoard&) = delete;

  // Creates the pty and starts serving it. False (with a reason) on failure.
  bool start(std::string* error = nullptr);
  // Stops serving, closes the pty and removes the link made by createLink.
  void stop();

  // Path of the device a client opens (the pty's slave side).
  std::string devicePath() const;
  // When the last start() began serving: simulated time 0.
  Clock::time_point startedAt() const;
  // Makes a symlink at `path` to devicePath(); replaced if it exists. Only a
  // symlink is replaced: any other file there makes the call fail.
  bool createLink(const std::string& path, std::string* error = nullptr);

  // --- Fault injection -------------------------------------------------
  void setSilent(bool silent);                     // never answer
  void stopAnsweringAfter(std::uint64_t replies);  // answer this many more, then silent
  void resumeAnswering();                          // clears both of the above
  void setDropEvery(unsigned n);                   // drop every n-th reply (0 = off)
  void setCorruptEvery(unsigned n);                // wrong check byte on every n-th reply (0 = off)
  void setStatusBytes(std::uint8_t status1, std::uint8_t status2);
  // Write each reply as `firstPart` bytes, pause `gap`, then the rest (0 = off).
  void setSplitReply(std::size_t firstPart, std::chrono::microseconds gap);
  // Bytes written once, just before the next reply.
  void sendStrayBytes(std::vector<std::uint8_t> bytes);
  // Writes `bytes` just before every n-th reply (0 or no bytes = off).
  void setStrayEvery(unsigned n, std::vector<std::uint8_t> bytes);
  // Line noise: `delay` after every n-th reply, 1 to `maxBytes` bytes of any
  // value (0x02 included), from a generator seeded anew by each call, so a
  // run can be repeated (n = 0 or maxBytes = 0: off).
  void setNoiseAfterEvery(unsigned n, std::size_t maxBytes,
                          std::chrono::microseconds delay = std::chrono::milliseconds(3));

  // --- Observation -----------------------------------------------------
  std::vector<ReceivedFrame> frames() const;  // every command frame, oldest first
  std::size_t frameCount() const;             // frames().size()
  // frames() from index `first` on, for readers that follow the record.
  std::vector<ReceivedFrame> framesFrom(std::size_t first) const;
  std::uint64_t validFrameCount() const;
  std::uint64_t badFrameCount() const;  // frames ignored for a bad start or check byte
  std::uint64_t replyCount() const;     // status frames written
  // Blocks until at least `count` valid frames have arrived, or the timeout.
  bool waitForFrames(std::size_t count, std::chrono::milliseconds timeout) const;
  // Blocks until at least `count` status frames have been written, or the timeout.
  bool waitForReplies(std::uint64_t count, std::chrono::milliseconds timeout) const;
  ChairPose truePose() const;
  MotorSpeeds motorSpeeds() const;
  ChairState state() const;  // both of the above at one instant
  // Blocks until a client holds the device open (`connected`) or none does, or the timeout.
  bool waitForClient(bool connected, std::chrono::milliseconds timeout) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace tolvarine_board_sim

#endif  // TOLVARINE_BOARD_SIM_SIMULATED_BOARD_H
