#include "gamepad_events.h"

#include <linux/joystick.h>

#include <algorithm>
#include <cstring>

namespace tolvarine_stick {

static_assert(sizeof(js_event) == EventDecoder::kEventSize, "the joystick API's event is 8 bytes");

void EventDecoder::feed(const unsigned char* bytes, std::size_t count,
                        std::vector<GamepadEvent>& out) {
  while (count > 0) {
    const std::size_t take = std::min(count, kEventSize - held_);
    std::memcpy(partial_.data() + held_, bytes, take);
    held_ += take;
    bytes += take;
    count -= take;
    if (held_ < kEventSize) {
      return;
    }
    held_ = 0;
    js_event raw{};
    std::memcpy(&raw, partial_.data(), sizeof raw);
    GamepadEvent event;
    event.initial = (raw.type & JS_EVENT_INIT) != 0;
    const unsigned kind = raw.type & ~JS_EVENT_INIT;
    if (kind == JS_EVENT_AXIS) {
      event.kind = GamepadEvent::Kind::kAxis;
    } else if (kind == JS_EVENT_BUTTON) {
      event.kind = GamepadEvent::Kind::kButton;
    } else {
      continue;
    }
    event.number = raw.number;
    event.value = raw.value;
    out.push_back(event);
  }
}

void GamepadState::apply(const GamepadEvent& event) {
  if (event.kind == GamepadEvent::Kind::kAxis) {
    axes_[event.number] = event.value;
  } else {
    buttons_[event.number] = event.value != 0;
  }
}

}  // namespace tolvarine_stick
