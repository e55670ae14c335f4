#include "reply_faults.h"

#include <algorithm>

namespace tolvarine_board_sim {

void ReplyFaults::setDropEvery(unsigned n) {
  dropEvery_ = n;
  dropCounter_ = 0;
}

void ReplyFaults::setCorruptEvery(unsigned n) {
  corruptEvery_ = n;
  corruptCounter_ = 0;
}

void ReplyFaults::setStrayEvery(unsigned n, std::vector<std::uint8_t> bytes) {
  strayEvery_ = n;
  strayEveryBytes_ = std::move(bytes);
  strayCounter_ = 0;
}

void ReplyFaults::setNoiseAfterEvery(unsigned n, std::size_t maxBytes,
                                     std::chrono::microseconds delay) {
  noiseEvery_ = n;
  noiseMaxBytes_ = maxBytes;
  noiseDelay_ = std::max(delay, std::chrono::microseconds::zero());
  noiseCounter_ = 0;
  noiseSource_.seed(1);
}

void ReplyFaults::restartCounts() {
  dropCounter_ = corruptCounter_ = strayCounter_ = 0;
}

bool ReplyFaults::answer(bool& corrupt) {
  corrupt = false;
  if (silent || (repliesLeft && *repliesLeft == 0)) {
    return false;
  }
  if (dropEvery_ > 0 && ++dropCounter_ >= dropEvery_) {
    dropCounter_ = 0;
    return false;
  }
  if (repliesLeft) {
    --*repliesLeft;
  }
  if (corruptEvery_ > 0 && ++corruptCounter_ >= corruptEvery_) {
    corruptCounter_ = 0;
    corrupt = true;
  }
  return true;
}

std::vector<std::uint8_t> ReplyFaults::strayBeforeReply() {
  std::vector<std::uint8_t> stray;
  stray.swap(strayOnce);
  if (strayEvery_ > 0 && !strayEveryBytes_.empty() && ++strayCounter_ >= strayEvery_) {
    strayCounter_ = 0;
    stray.insert(stray.end(), strayEveryBytes_.begin(), strayEveryBytes_.end());
  }
  return stray;
}

std::vector<std::uint8_t> ReplyFaults::noiseAfterReply() {
  std::vector<std::uint8_t> noise;
  if (noiseEvery_ > 0 && noiseMaxBytes_ > 0 && ++noiseCounter_ >= noiseEvery_) {
    noiseCounter_ = 0;
    noise.resize(1 + noiseSource_() % noiseMaxBytes_);
    for (std::uint8_t& b : noise) {
      b = static_cast<std::uint8_t>(noiseSource_());
    }
  }
  return noise;
}

}  // namespace tolvarine_board_sim
