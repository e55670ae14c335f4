#ifndef TOLVARINE_CONTROLLER_RECEIVE_DATA_H
#define TOLVARINE_CONTROLLER_RECEIVE_DATA_H

#include <cstdint>

#include "tolvarine_controller/export.h"

namespace tolvarine_controller {

// The content of one 9-byte status frame from the control board.
class TOLVARINE_CONTROLLER_API ReceiveData {
 public:
  ReceiveData() = default;
  ReceiveData(const ReceiveData&) = default;
  ReceiveData& operator=(const ReceiveData&) = default;
  virtual ~ReceiveData();

  bool isValid = false;          // the frame's check byte matched
  std::uint8_t status1 = 0;      // frame byte 1; 0x60..0x6F parity warning, 0x70..0x7F error
  std::uint8_t status2 = 0;      // frame byte 2; same ranges
  std::uint8_t wheelSpeed1 = 0;  // frame byte 3; wheel count centred on 128
  std::uint8_t wheelSpeed2 = 0;  // frame byte 4; wheel count centred on 128
  std::uint8_t extra[3] = {};    // frame bytes 5..7; covered by the check byte only
  std::int32_t elapsed = 0;      // ms since the previous successful read (set when queued)
};

}  // namespace tolvarine_controller

#endif  // TOLVARINE_CONTROLLER_RECEIVE_DATA_H
