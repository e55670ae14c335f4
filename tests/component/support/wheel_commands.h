// Wheel bytes the board must receive once the ramp has settled, worked out by
// hand for the commands the tests send.
//
// The component splits v and w with the configured tread T = 0.5488 m into
// A = v + T*w and B = v - T*w, and commands (right, left) = (A, B) for
// "FORWARD" and (B, A) for "BACK". Each wheel then becomes
// floor(signed speed [m/s] * gain), with gains right 123.29166666666666 and
// left 124.41666666666669 counts per m/s; the mounting direction sets the
// sign: FORWARD (-1) keeps the right speed and negates the left one, BACK (1)
// negates the right one and keeps the left one. A count above 0 gives
// direction byte 0x41, any other 0x40; the speed byte is the magnitude.
#ifndef TOLVARINE_TESTS_COMPONENT_WHEEL_COMMANDS_H
#define TOLVARINE_TESTS_COMPONENT_WHEEL_COMMANDS_H

#include "component_rig.h"

namespace component_test {

// WheelBytes are {left direction, right direction, left speed, right speed}.

// v = 0.5, w = 0.2: A = 0.60976, B = 0.39024.
// FORWARD: right +0.60976 * 123.2917 = +75.178 -> 75 (0x41)
//          left  -0.39024 * 124.4167 = -48.552 -> -49 (0x40)
constexpr WheelBytes kForwardSplit{0x40, 0x41, 49, 75};
// BACK:    right -0.39024 * 123.2917 = -48.113 -> -49 (0x40)
//          left  +0.60976 * 124.4167 = +75.864 -> 75 (0x41)
constexpr WheelBytes kBackSplit{0x41, 0x40, 75, 49};

// v = 0, w = 1: A = +0.5488, B = -0.5488; FORWARD:
//          right +0.5488 * 123.2917 = +67.662 -> 67 (0x41)
//          left  +0.5488 * 124.4167 = +68.280 -> 68 (0x41)
constexpr WheelBytes kForwardTurnOnTheSpot{0x41, 0x41, 68, 67};

// v = 0.3, w = 0: both wheels 0.3.
// FORWARD: right +0.3 * 123.2917 = +36.988 -> 36 (0x41)
//          left  -0.3 * 124.4167 = -37.325 -> -38 (0x40)
constexpr WheelBytes kForwardStraight{0x40, 0x41, 38, 36};
// BACK:    right -36.988 -> -37 (0x40), left +37.325 -> 37 (0x41)
constexpr WheelBytes kBackStraight{0x41, 0x40, 37, 37};
// v = -0.3, w = 0, BACK: right +36.988 -> 36 (0x41), left -37.325 -> -38 (0x40)
constexpr WheelBytes kBackReverse{0x40, 0x41, 38, 36};

// v = 0, w = 0 (or a rejected command): floor(0) = 0 on both wheels, which
// is not above 0, so both direction bytes are 0x40.
constexpr WheelBytes kStandstill{0x40, 0x40, 0, 0};

}  // namespace component_test

#endif  // TOLVARINE_TESTS_COMPONENT_WHEEL_COMMANDS_H
