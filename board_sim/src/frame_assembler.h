// Turns the bytes the board receives into command frames: it hunts for a
// start byte, takes 12 bytes from it and checks them. A bad frame is
// recorded and the hunt resumes right after its start byte; bytes that
// cannot start a frame are gathered into one bad record, closed once the
// line has been quiet for a moment. Values in, values out.
#ifndef TOLVARINE_BOARD_SIM_FRAME_ASSEMBLER_H
#define TOLVARINE_BOARD_SIM_FRAME_ASSEMBLER_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "tolvarine_board_sim/simulated_board.h"

namespace tolvarine_board_sim {

class FrameAssembler {
 public:
  // A run of bytes that cannot start a frame is closed (and recorded) once
  // the line has been quiet this long, so garbage shows up as one bad frame.
  static constexpr std::chrono::milliseconds kJunkQuietTime{5};

  // Takes bytes that arrived at `now`; appends what they complete to `out`,
  // in order: valid command frames and records of bad ones.
  void feed(const std::uint8_t* data, std::size_t count, Clock::time_point now,
            std::vector<ReceivedFrame>& out);
  // When the run of junk bytes under way is to be closed; false when there is none.
  bool junkDeadline(Clock::time_point& deadline) const;
  // Closes the run of junk bytes once the line has been quiet long enough.
  void closeQuietJunk(Clock::time_point now, std::vector<ReceivedFrame>& out);
  // The client went: a frame it cut off is recorded as it stands (at `now`),
  // and nothing of it is kept.
  void clientGone(Clock::time_point now, std::vector<ReceivedFrame>& out);

 private:
  void closeJunk(std::vector<ReceivedFrame>& out);

  std::vector<std::uint8_t> input_;  // bytes not yet assembled
  std::size_t coveredBytes_ = 0;     // leading bytes of `input_` already in a recorded bad frame
  std::vector<std::uint8_t> junk_;   // current run of bytes that cannot start a frame
  Clock::time_point junkAt_;
};

}  // namespace tolvarine_board_sim

#endif  // TOLVARINE_BOARD_SIM_FRAME_ASSEMBLER_H
