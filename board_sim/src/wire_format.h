// The serial protocol as the board sees it: the frames' sizes and start
// byte, the check byte, the wheel speeds a command frame asks for and the
// wheel counts a status frame reports. Values in, values out.
#ifndef TOLVARINE_BOARD_SIM_WIRE_FORMAT_H
#define TOLVARINE_BOARD_SIM_WIRE_FORMAT_H

#include <cstddef>
#include <cstdint>

#include "tolvarine_board_sim/simulated_board.h"

namespace tolvarine_board_sim {

constexpr std::uint8_t kStartOfFrame = 0x02;
constexpr std::size_t kCommandSize = 12;
constexpr std::size_t kStatusSize = 9;

// The low byte of the sum of `count` bytes; one that would look like a
// start byte is sent as 0xFD instead.
std::uint8_t checkByte(const std::uint8_t* bytes, std::size_t count);

// The motor speeds a valid command frame (all 12 bytes) asks for. A
// direction byte other than the two running values stops its motor.
MotorSpeeds commandedSpeeds(const std::uint8_t* frame);

// Wheel count reported for a motor speed; `sense` is +1 when counts above the
// centre mean forward. Rounded to the nearest count, then clamped to a byte.
// With `carry`, the fraction of a count not reported is added to the next
// report; a clamped report starts the carry afresh.
std::uint8_t wheelCount(double metresPerSecond, int sense, double* carry);

}  // namespace tolvarine_board_sim

#endif  // TOLVARINE_BOARD_SIM_WIRE_FORMAT_H
