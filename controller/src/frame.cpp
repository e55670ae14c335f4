#include "tolvarine_controller/frame.h"

#include <algorithm>

namespace tolvarine_controller {

std::uint8_t frameChecksum(const std::uint8_t* bytes, std::size_t count) {
  std::uint8_t sum = 0;
  for (std::size_t i = 0; i < count; ++i) {
    sum = static_cast<std::uint8_t>(sum + bytes[i]);
  }
  return sum == kStartOfFrame ? std::uint8_t{0xFD} : sum;
}

void encodeFrame(const SendData& data, CommandFrame& frame) {
  frame[0] = kStartOfFrame;
  frame[1] = data.leftDirection;
  frame[2] = data.rightDirection;
  frame[3] = data.leftSpeed;
  frame[4] = data.rightSpeed;
  frame[5] = data.option1;
  frame[6] = data.option2;
  frame[7] = data.option3;
  frame[8] = data.option4;
  frame[9] = data.option5;
  frame[10] = data.sequence;
  frame[11] = frameChecksum(&frame[1], 10);
}

ReceiveData decodeStatusFrame(const StatusFrame& frame) {
  ReceiveData data;
  data.status1 = frame[1];
  data.status2 = frame[2];
  data.wheelSpeed1 = frame[3];
  data.wheelSpeed2 = frame[4];
  data.extra[0] = frame[5];
  data.extra[1] = frame[6];
  data.extra[2] = frame[7];
  data.isValid = frame[0] == kStartOfFrame && frameChecksum(&frame[1], 7) == frame[8];
  return data;
}

std::size_t alignToFrameStart(std::uint8_t* bytes, std::size_t count) {
  const std::uint8_t* start = std::find(bytes, bytes + count, kStartOfFrame);
  const std::size_t kept = static_cast<std::size_t>(bytes + count - start);
  std::copy(start, start + kept, bytes);
  return kept;
}

}  // namespace tolvarine_controller
