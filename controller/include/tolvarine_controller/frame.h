#ifndef TOLVARINE_CONTROLLER_FRAME_H
#define TOLVARINE_CONTROLLER_FRAME_H

#include <cstddef>
#include <cstdint>

#include "tolvarine_controller/export.h"
#include "tolvarine_controller/receive_data.h"
#include "tolvarine_controller/send_data.h"

namespace tolvarine_controller {

constexpr std::size_t kCommandFrameSize = 12;  // start byte, 10 payload bytes, check byte
constexpr std::size_t kStatusFrameSize = 9;    // start byte, 7 status bytes, check byte
constexpr std::uint8_t kStartOfFrame = 0x02;

using CommandFrame = std::uint8_t[kCommandFrameSize];
using StatusFrame = std::uint8_t[kStatusFrameSize];

// Sum of the covered bytes modulo 256; a sum equal to the start byte is sent
// as 0xFD so that a check byte never looks like the start of a frame.
TOLVARINE_CONTROLLER_API std::uint8_t frameChecksum(const std::uint8_t* bytes, std::size_t count);

// Fills a command frame: start byte, the record's ten fields, check byte.
TOLVARINE_CONTROLLER_API void encodeFrame(const SendData& data, CommandFrame& frame);

// Reads the status bytes of a frame and validates it: a frame counts only
// with the start byte in byte 0 and the check byte of bytes 1-7 in byte 8, so
// that bytes read out of step (noise on the line ahead of a reply) are not
// taken for one. `elapsed` is left at 0; the connector sets it when queueing.
TOLVARINE_CONTROLLER_API ReceiveData decodeStatusFrame(const StatusFrame& frame);

// Drops the bytes ahead of the first start byte among the first `count`
// bytes, moving the rest to the front. Returns how many bytes are left: 0
// when none of them can start a frame.
TOLVARINE_CONTROLLER_API std::size_t alignToFrameStart(std::uint8_t* bytes, std::size_t count);

}  // namespace tolvarine_controller

#endif  // TOLVARINE_CONTROLLER_FRAME_H
