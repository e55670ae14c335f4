// The stick tool's parts: the joystick API's events as a driver writes
// them, the readings through JoyStickController's targets (maxSpeed 0.5 m/s;
// readings as fractions of 32767, worked by hand), and the dead-man rules.
#include <gtest/gtest.h>
#include <linux/joystick.h>

#include <vector>

#include "dead_man.h"
#include "gamepad_events.h"
#include "stick_axes.h"
#include "tolvarine_controller/joystick_controller.h"

namespace tolvarine_stick {
namespace {

TEST(StickEvents, DecodedAsTheDriverWritesThemWhateverTheReadsCut) {
  const js_event written[] = {{10, -32767, JS_EVENT_AXIS | JS_EVENT_INIT, 1},
                              {11, 1, JS_EVENT_BUTTON | JS_EVENT_INIT, 7},
                              {12, 99, 0x04, 3},  // no kind the tool knows: skipped
                              {13, 12345, JS_EVENT_AXIS, 200},
                              {14, 0, JS_EVENT_BUTTON, 7}};
  const auto* bytes = reinterpret_cast<const unsigned char*>(written);
  for (std::size_t cut : {sizeof written, std::size_t{3}}) {
    EventDecoder decoder;
    std::vector<GamepadEvent> events;
    for (std::size_t at = 0; at < sizeof written; at += cut) {
      decoder.feed(bytes + at, std::min(cut, sizeof written - at), events);
    }
    EXPECT_FALSE(decoder.midEvent());
    GamepadState state;
    std::vector<int> seen;  // kind (1 axis, 2 button, +0x80 initial), number, value
    for (const GamepadEvent& e : events) {
      seen.insert(seen.end(), {(e.kind == GamepadEvent::Kind::kAxis ? 1 : 2) + 0x80 * e.initial,
                               e.number, e.value});
      state.apply(e);
      if (e.number == 7) {
        EXPECT_EQ(state.button(7), e.value == 1);
      }
    }
    EXPECT_EQ(seen, (std::vector<int>{0x81, 1, -32767, 0x82, 7, 1, 1, 200, 12345, 2, 7, 0}));
    EXPECT_EQ(state.axis(1), -32767);
    EXPECT_EQ(state.axis(200), 12345);
  }
}

// Reads the targets the controller keeps; no link, so no thread touches them.
class TargetsOf : public tolvarine_controller::JoyStickController {
 public:
  double right() const { return targetVelRight; }
  double left() const { return targetVelLeft; }
};

TEST(StickEvents, ReadingsReachTheControllerUpAsForward) {
  struct {
    std::int16_t sideways, upDown;
    AxisChoice axes;
    double right, left;  // mm/s
    const char* what;
  } const cases[] = {
      {0, -32767, {}, 500, 500, "full up: ahead at 0.5 m/s"},
      {-32768, 0, {}, 250, -250, "full left (-32768 as -1): on the spot, right wheel ahead"},
      // x 0.600024, y 0.800012, r 1.000024: on the unit circle y 0.799993.
      {19661, -26214, {}, 399.996, 500, "up and right: the left wheel outside"},
      {0, 32767, {0, 1, false, true}, 500, 500, "--invert-y: down is forward"},
      {32767, 0, {0, 1, true, false}, 250, -250, "--invert-x: right turns left"},
      {32767, -32767, {3, 4, false, false}, 0, 0, "axes 3 and 4 chosen: 0 and 1 not read"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    GamepadState state;
    state.apply({GamepadEvent::Kind::kAxis, 0, c.sideways, false});
    state.apply({GamepadEvent::Kind::kAxis, 1, c.upDown, false});
    const StickPosition stick = stickPosition(state, c.axes);
    TargetsOf controller;
    controller.setSendDataXY(stick.x, stick.y);
    EXPECT_NEAR(controller.right(), c.right, 0.002);
    EXPECT_NEAR(controller.left(), c.left, 0.002);
  }
}

TEST(StickDeadMan, DrivesOnlyWhileHeldAndOnlyFromTheCentre) {
  using S = DeadManState;
  struct {
    bool held;
    StickPosition stick;
    bool linkUp;
    S state;
    const char* what;  // the stick drives in kDriving only
  } const steps[] = {
      {true, {0, 0}, true, S::kReleaseFirst, "held when the tool starts"},
      {false, {0, 0.5}, true, S::kReleased, "let go"},
      {true, {0, 0.5}, true, S::kCentreFirst, "pressed off centre"},
      {true, {0.1, 0}, true, S::kCentreFirst, "0.1 is outside the centre"},
      {true, {0.09, -0.09}, true, S::kDriving, "centred"},
      {true, {0.6, 0.8}, true, S::kDriving, "pushed: drives"},
      {false, {0, 0}, true, S::kReleased, "released"},
      {true, {0, 1}, false, S::kReleaseFirst, "pressed while the board does not answer"},
      {true, {0, 0}, true, S::kReleaseFirst, "it answers again: held is not enough"},
      {false, {0, 0}, true, S::kReleased, "let go"},
      {true, {0, 0}, true, S::kDriving, "pressed centred"},
      {true, {0, 1}, false, S::kReleaseFirst, "the board stops answering while driving"},
  };
  DeadMan deadMan;
  for (const auto& s : steps) {
    SCOPED_TRACE(s.what);
    const StickPosition out = deadMan.update(s.held, s.stick, s.linkUp);
    EXPECT_EQ(deadMan.state(), s.state) << describe(deadMan.state());
    const bool drives = s.state == S::kDriving;
    EXPECT_TRUE(out.x == (drives ? s.stick.x : 0.0) && out.y == (drives ? s.stick.y : 0.0));
  }
}

}  // namespace
}  // namespace tolvarine_stick
