// The faults the board can be told to show in its replies: silence, replies
// dropped or corrupted, split, preceded by stray bytes or followed by line
// noise. Decides, reply by reply, what the next one looks like. Not
// thread-safe: the board guards it.
#ifndef TOLVARINE_BOARD_SIM_REPLY_FAULTS_H
#define TOLVARINE_BOARD_SIM_REPLY_FAULTS_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <random>
#include <vector>

namespace tolvarine_board_sim {

class ReplyFaults {
 public:
  bool silent = false;
  std::optional<std::uint64_t> repliesLeft;  // answer this many more, then silent
  std::size_t splitFirst = 0;                // bytes before the pause (0 = whole)
  std::chrono::microseconds splitGap{0};
  std::vector<std::uint8_t> strayOnce;  // written once, before the next reply

  void setDropEvery(unsigned n);
  void setCorruptEvery(unsigned n);
  void setStrayEvery(unsigned n, std::vector<std::uint8_t> bytes);
  void setNoiseAfterEvery(unsigned n, std::size_t maxBytes, std::chrono::microseconds delay);
  // A fresh start of the board: every count of replies from zero.
  void restartCounts();

  // Whether a valid command frame is answered; `corrupt` tells whether the
  // reply gets a wrong check byte.
  bool answer(bool& corrupt);
  // The bytes to write just before a reply (none: empty).
  std::vector<std::uint8_t> strayBeforeReply();
  // The noise to write `noiseDelay()` after a complete reply (none: empty).
  std::vector<std::uint8_t> noiseAfterReply();
  std::chrono::microseconds noiseDelay() const { return noiseDelay_; }

 private:
  unsigned dropEvery_ = 0;
  unsigned dropCounter_ = 0;
  unsigned corruptEvery_ = 0;
  unsigned corruptCounter_ = 0;
  unsigned strayEvery_ = 0;
  unsigned strayCounter_ = 0;
  std::vector<std::uint8_t> strayEveryBytes_;
  unsigned noiseEvery_ = 0;
  unsigned noiseCounter_ = 0;
  std::size_t noiseMaxBytes_ = 0;
  std::chrono::microseconds noiseDelay_{0};
  std::minstd_rand noiseSource_;
};

}  // namespace tolvarine_board_sim

#endif  // TOLVARINE_BOARD_SIM_REPLY_FAULTS_H
