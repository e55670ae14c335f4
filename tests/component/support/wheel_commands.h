// Wheel counts the board must receive once the ramp has settled, worked out by
// hand for the commands the tests send.
//
// The component splits v and w with the tread T = 0.5488 m into A = v + T*w
// and B = v - T*w, and commands (right, left) = (A, B) for "FORWARD" and
// (B, A) for "BACK". Each wheel becomes floor(signed speed [m/s] * gain),
// gains right 123.29166666666666 and left 124.41666666666669 counts per m/s;
// FORWARD keeps the right speed's sign and negates the left one, BACK the
// other way round. Wheels: {right, left}.
#ifndef TOLVARINE_TESTS_COMPONENT_WHEEL_COMMANDS_H
#define TOLVARINE_TESTS_COMPONENT_WHEEL_COMMANDS_H

#include "component_rig.h"

namespace component_test {

// v = 0.5, w = 0.2: A = 0.60976, B = 0.39024.
// FORWARD: right +0.60976 * 123.2917 = +75.178 -> 75; left -0.39024 * 124.4167 = -48.552 -> -49
constexpr Wheels kForwardSplit{75, -49};
// BACK: right -0.39024 * 123.2917 = -48.113 -> -49; left +0.60976 * 124.4167 = +75.864 -> 75
constexpr Wheels kBackSplit{-49, 75};
// v = 0, w = 1, FORWARD: right +0.5488 * 123.2917 = +67.662 -> 67; left +68.280 -> 68
constexpr Wheels kForwardTurnOnTheSpot{67, 68};
// v = 0.3, FORWARD: right +36.988 -> 36; left -37.325 -> -38
constexpr Wheels kForwardStraight{36, -38};
// v = 0.5, FORWARD: right +61.646 -> 61; left -62.208 -> -63
constexpr Wheels kHalfMetre{61, -63};
// v = -0.3, FORWARD: right -36.988 -> -37; left +37.325 -> 37
constexpr Wheels kForwardReverse{-37, 37};
// v = 0, w = 0, a command the controller refuses, or the link's stop command.
constexpr Wheels kStandstill{0, 0};

}  // namespace component_test

#endif  // TOLVARINE_TESTS_COMPONENT_WHEEL_COMMANDS_H
