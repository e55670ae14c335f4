#ifndef TOLVARINE_CONTROLLER_PLATFORM_SERIAL_PLATFORM_H
#define TOLVARINE_CONTROLLER_PLATFORM_SERIAL_PLATFORM_H

// Everything the connector needs from the operating system, behind one set of
// functions: the serial port, the millisecond tick, the monotonic clock and
// sleeps to its deadlines, the timer resolution, the communication thread's
// priority and the report of a port that cannot be opened. platform/win/
// implements it on Win32, platform/unix/ on POSIX. No Boost here, so that
// the Win32 side can be cross-compiled on its own.

#include <cstddef>
#include <cstdint>
#include <string>

namespace tolvarine_controller {
namespace platform {

// The open port: its handle, the byte count of the last read or write, and the
// line settings last written. Each platform defines it; the connector only
// holds it through the functions below.
struct SerialPort;

// A read returns when all requested bytes have arrived or this much time has
// passed since the call, whichever comes first.
constexpr std::uint32_t kReadWindowMs = 10;
constexpr std::int64_t kNsPerMs = 1000000;
// A write that cannot hand its bytes to the driver within this time fails.
constexpr std::uint32_t kWriteWindowMs = 10;
// Driver queue sizes, each direction.
constexpr std::uint32_t kQueueBytes = 2000;

// Opens the device named exactly `name` for exclusive use and configures the
// line: 38400 baud, 8 data bits, no parity, one stop bit, no flow control,
// DTR and RTS off. Returns the open port, or null with nothing left open.
// A device that cannot be opened at all is reported (reportOpenFailure); one
// that opens but cannot serve as a serial line is reported with the reason
// (reportSetupFailure).
SerialPort* openSerialPort(const std::string& name);

// Closes the handle and releases the record. Null is ignored.
void closeSerialPort(SerialPort* port);

// Discard bytes queued in the driver: received and not yet read, or written
// and not yet sent.
bool purgeInput(SerialPort& port);
bool purgeOutput(SerialPort& port);

// Reads up to `size` bytes into `buffer`; returns when `size` bytes have
// arrived or `windowNs` has passed. A window of 0 takes only what has already
// arrived; where the system counts whole milliseconds, the window is rounded
// down, so a read never outlasts the deadline it was cut to. `received` (and
// the port's byte count) tells how many arrived. False when the read itself
// failed, e.g. the device is gone; a read that timed out with fewer bytes is
// not a failure.
bool readSerialPort(SerialPort& port, std::uint8_t* buffer, std::size_t size, std::int64_t windowNs,
                    std::size_t& received);

// Writes `size` bytes and gives them the rest of the write window to leave
// the driver's queue, so that a purge right after cannot cut them off. False
// when the bytes could not be written.
bool writeSerialPort(SerialPort& port, const std::uint8_t* data, std::size_t size);

// Milliseconds of a monotonic clock as a wrapping unsigned 32-bit value; take
// differences modulo 2^32.
std::uint32_t tickMs();

// Nanoseconds of a monotonic clock, from an arbitrary start; never wraps in
// practice. The deadlines of the communication cycle are on this clock.
std::int64_t monotonicNs();

// Sleeps until monotonicNs() has reached `deadlineNs`; returns at once when
// it already has. A deadline, not a duration: time lost before the call is
// not added to the sleep.
void sleepUntil(std::int64_t deadlineNs);

// Asks for a 1 ms system timer resolution, so sleeps and the tick are exact to
// the millisecond. Never undone.
void beginTimerResolution();

// Raises the calling thread to the highest priority the system grants it; a
// refusal is reported on the console and the thread carries on as it is.
void raiseCurrentThreadPriority();

// Tells the user that `name` could not be opened; `code` is the system's
// error number.
void reportOpenFailure(const std::string& name, int code);

// Tells the user why `name`, which did open, cannot serve as the board's
// serial line (e.g. "not a terminal"). One console line, the same on every
// platform.
void reportSetupFailure(const std::string& name, const std::string& why);

}  // namespace platform
}  // namespace tolvarine_controller

#endif  // TOLVARINE_CONTROLLER_PLATFORM_SERIAL_PLATFORM_H
