#include "frame_assembler.h"

#include <algorithm>

#include "wire_format.h"

namespace tolvarine_board_sim {
namespace {

ReceivedFrame record(const std::uint8_t* bytes, std::size_t count, Clock::time_point at,
                     bool valid) {
  ReceivedFrame frame;
  frame.at = at;
  std::copy_n(bytes, std::min(kCommandSize, count), frame.bytes.begin());
  frame.valid = valid;
  return frame;
}

}  // namespace

void FrameAssembler::feed(const std::uint8_t* data, std::size_t count, Clock::time_point now,
                          std::vector<ReceivedFrame>& out) {
  input_.insert(input_.end(), data, data + count);
  std::size_t pos = 0;
  while (pos < input_.size()) {
    if (input_[pos] != kStartOfFrame) {
      if (coveredBytes_ > 0) {
        --coveredBytes_;
      } else {
        junk_.push_back(input_[pos]);
        junkAt_ = now;
      }
      ++pos;
      continue;
    }
    closeJunk(out);
    if (input_.size() - pos < kCommandSize) {
      break;  // wait for the rest of the frame
    }
    const std::uint8_t* frame = input_.data() + pos;
    const bool valid = checkByte(frame + 1, kCommandSize - 2) == frame[kCommandSize - 1];
    out.push_back(record(frame, kCommandSize, now, valid));
    if (valid) {
      pos += kCommandSize;
      coveredBytes_ = 0;
    } else {
      pos += 1;
      coveredBytes_ = kCommandSize - 1;
    }
  }
  // What is left is empty or starts with a start byte awaiting the rest.
  input_.erase(input_.begin(), input_.begin() + static_cast<std::ptrdiff_t>(pos));
}

bool FrameAssembler::junkDeadline(Clock::time_point& deadline) const {
  deadline = junkAt_ + kJunkQuietTime;
  return !junk_.empty();
}

void FrameAssembler::closeQuietJunk(Clock::time_point now, std::vector<ReceivedFrame>& out) {
  if (now - junkAt_ >= kJunkQuietTime) {
    closeJunk(out);
  }
}

void FrameAssembler::closeJunk(std::vector<ReceivedFrame>& out) {
  if (!junk_.empty()) {
    out.push_back(record(junk_.data(), junk_.size(), junkAt_, false));
    junk_.clear();
  }
}

void FrameAssembler::clientGone(Clock::time_point now, std::vector<ReceivedFrame>& out) {
  // What feed() leaves behind is empty or starts with a start byte.
  closeJunk(out);
  if (!input_.empty()) {
    out.push_back(record(input_.data(), input_.size(), now, false));
  }
  input_.clear();
  coveredBytes_ = 0;
}

}  // namespace tolvarine_board_sim
