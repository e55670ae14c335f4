#ifndef TOLVARINE_CONTROLLER_SEND_DATA_H
#define TOLVARINE_CONTROLLER_SEND_DATA_H

#include <cstdint>

#include "tolvarine_controller/export.h"

namespace tolvarine_controller {

// The ten payload bytes of one command frame (frame bytes 1 to 10, in field
// order). A default-constructed record is the stop command.
class TOLVARINE_CONTROLLER_API SendData {
 public:
  SendData() = default;
  SendData(const SendData&) = default;
  SendData& operator=(const SendData&) = default;
  virtual ~SendData();

  std::uint8_t leftDirection = 0x30;   // 0x30 stop, 0x41 forward, 0x40 otherwise
  std::uint8_t rightDirection = 0x30;  // same encoding as leftDirection
  std::uint8_t leftSpeed = 0x00;       // speed magnitude, 0..255
  std::uint8_t rightSpeed = 0x00;      // speed magnitude, 0..255
  std::uint8_t option1 = 0xCC;         // fixed by the control board
  std::uint8_t option2 = 0x1A;         // fixed by the control board
  std::uint8_t option3 = 0x1A;         // fixed by the control board
  std::uint8_t option4 = 0x64;         // fixed by the control board
  std::uint8_t option5 = 0xFF;         // 0xFF, or the rest mark (40) when idle
  std::uint8_t sequence = 0x00;        // overwritten by the connector at send time
};

}  // namespace tolvarine_controller

#endif  // TOLVARINE_CONTROLLER_SEND_DATA_H
