// What the demo records while it drives: every command it sends, every
// "VelocityOut" and "OdmetoryOut" sample (from a control connection of their
// own, so that requests and their replies never queue behind samples) and
// the board's true pose every 10 ms, each into its CSV file; and the
// figures the summary reports.
#ifndef TOLVARINE_DEMO_RECORDER_H
#define TOLVARINE_DEMO_RECORDER_H

#include <atomic>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>

#include <tolvarine_control/client.h>
#include "tolvarine_board_sim/simulated_board.h"

namespace tolvarine_demo {

using Clock = std::chrono::steady_clock;

inline double seconds(Clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

struct PoseSample {
  double time = 0.0;  // s since the board started
  double x = 0.0, y = 0.0, heading = 0.0;
};

// What reached the board: every command frame it received (into
// board_frames.csv) and the last valid one.
struct BoardRecord {
  std::size_t frames = 0;     // received
  std::uint64_t bad = 0;      // with a bad start or check byte
  std::uint64_t replies = 0;  // status frames sent
  bool endsWithStop = false;
  std::string lastFrame = "none";  // its direction and speed bytes, in hex
};

class Recorder {
 public:
  // The records, in the output folder.
  static constexpr const char* kCommandCsv = "velocity_in.csv";
  static constexpr const char* kVelocityCsv = "velocity_out.csv";
  static constexpr const char* kOdometryCsv = "odometry.csv";
  static constexpr const char* kTruthCsv = "ground_truth.csv";
  static constexpr const char* kFramesCsv = "board_frames.csv";

  struct Figures {
    PoseSample odometry;  // the latest
    tolvarine_board_sim::ChairState truth;
    std::size_t odometrySamples = 0;
    std::size_t velocitySamples = 0;
    std::uint64_t droppedSamples = 0;
    double odometryPath = 0.0;  // m, along the odometry's samples
    double sampleSpan = 0.0;    // s from the first odometry sample to the last
    std::size_t commandsSent = 0;
  };

  ~Recorder();

  // Opens the CSV files in `folder`; false (errno set) when one cannot be written.
  bool open(const std::string& folder);
  // The board's true pose, every 10 ms of its time from now on.
  void recordTruth(const tolvarine_board_sim::SimulatedBoard& board);
  // Subscribes to the out-ports on a connection of its own and records their samples.
  bool recordSamples(const std::string& socket, std::string* error);
  // A command written to "VelocityIn" at `sentAt` (s since the board started).
  void command(double sentAt, double linear, double angular, const std::string& what);

  // Writes what the board received into `folder`.
  BoardRecord recordBoardFrames(const tolvarine_board_sim::SimulatedBoard& board,
                                const std::string& folder);

  void stopSamples();
  void stopTruth();
  // The board's simulated time 0.
  Clock::time_point origin() const { return origin_; }
  Figures figures() const;

 private:
  void truthLoop(const tolvarine_board_sim::SimulatedBoard& board);
  void sampleLoop();

  Clock::time_point origin_;
  tolvarine_control::Client events_;
  std::thread truthThread_;
  std::thread sampleThread_;
  std::atomic<bool> stopTruth_{false};
  std::atomic<bool> stopSamples_{false};
  // Each written by one thread, a line at a time, flushed so that a run
  // that ends early leaves complete lines.
  std::ofstream commandCsv_, velocityCsv_, odometryCsv_, truthCsv_;

  mutable std::mutex mutex_;  // what the threads share
  Figures figures_;
  double firstSampleTime_ = -1.0;
};

}  // namespace tolvarine_demo

#endif  // TOLVARINE_DEMO_RECORDER_H
