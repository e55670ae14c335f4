// The simulated board's state, shared by its public face (simulated_board.cpp)
// and its thread (board_thread.cpp).
#ifndef TOLVARINE_BOARD_SIM_BOARD_IMPL_H
#define TOLVARINE_BOARD_SIM_BOARD_IMPL_H

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "chair_model.h"
#include "frame_assembler.h"
#include "reply_faults.h"
#include "tolvarine_board_sim/simulated_board.h"

namespace tolvarine_board_sim {

struct SimulatedBoard::Impl {
  explicit Impl(const BoardOptions& o) : options(o), chair(o) {}

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

  ReplyFaults faults;
  double leftCountCarry = 0.0;   // counts not yet reported, left wheel
  double rightCountCarry = 0.0;  // counts not yet reported, right wheel

  // Observation.
  std::vector<ReceivedFrame> frames;
  std::uint64_t validFrames = 0;
  std::uint64_t badFrames = 0;
  std::uint64_t replies = 0;
  bool connected = false;

  ChairModel chair;

  // ---- Board thread only (and start/stop while it does not run) -----------
  int master = -1;
  int wake = -1;
  std::thread thread;
  std::atomic<bool> stopRequested{false};
  FrameAssembler assembler;
  std::vector<Pending> pending;  // ordered by `due`
  bool threadSeesClient = false;

  // A fresh start at `now` (mutex held).
  void resetState(Clock::time_point now);

  // ---- Board thread -------------------------------------------------------
  void run();
  void take(const std::vector<ReceivedFrame>& records);
  void onFrame(const ReceivedFrame& frame);
  void doDueWrites(Clock::time_point now);
  void writeReplyStart(Pending& p, Clock::time_point now);
  void onClientGone();
  void schedule(Pending p);
};

}  // namespace tolvarine_board_sim

#endif  // TOLVARINE_BOARD_SIM_BOARD_IMPL_H
