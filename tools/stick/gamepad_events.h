// The Linux joystick API's events (/dev/input/jsN): 8 bytes each, laid out
// as struct js_event of <linux/joystick.h> in the machine's byte order, and
// the latest value of every axis and button they leave behind.
#ifndef TOLVARINE_TOOLS_STICK_GAMEPAD_EVENTS_H
#define TOLVARINE_TOOLS_STICK_GAMEPAD_EVENTS_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace tolvarine_stick {

struct GamepadEvent {
  enum class Kind { kAxis, kButton };
  Kind kind = Kind::kAxis;
  std::uint8_t number = 0;
  std::int16_t value = 0;  // axis -32767..32767; button 1 pressed, 0 released
  bool initial = false;    // the driver's report of the state found at open
};

// Cuts a byte stream into events. The bytes of an event that a read split
// wait for the rest; events of kinds other than axis and button are skipped.
class EventDecoder {
 public:
  // Appends the events that `bytes` completes to `out`.
  void feed(const unsigned char* bytes, std::size_t count, std::vector<GamepadEvent>& out);
  // True while part of an event waits for its rest.
  bool midEvent() const { return held_ != 0; }

  static constexpr std::size_t kEventSize = 8;

 private:
  std::array<unsigned char, kEventSize> partial_{};
  std::size_t held_ = 0;
};

// The latest value of every axis and button; unreported ones are centred and
// released.
class GamepadState {
 public:
  void apply(const GamepadEvent& event);
  std::int16_t axis(unsigned number) const { return number < axes_.size() ? axes_[number] : 0; }
  bool button(unsigned number) const { return number < buttons_.size() ? buttons_[number] : false; }

 private:
  std::array<std::int16_t, 256> axes_{};
  std::array<bool, 256> buttons_{};
};

}  // namespace tolvarine_stick

#endif  // TOLVARINE_TOOLS_STICK_GAMEPAD_EVENTS_H
