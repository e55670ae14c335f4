// The demo's lines: printf-style formatting and the way a pose is shown.
#ifndef TOLVARINE_DEMO_TEXT_H
#define TOLVARINE_DEMO_TEXT_H

#include <string>

namespace tolvarine_demo {

std::string format(const char* pattern, ...) __attribute__((format(printf, 1, 2)));
double degrees(double radians);
// "x  0.523 m  y  0.060 m  heading    15.3 deg"
std::string poseText(double x, double y, double theta);

}  // namespace tolvarine_demo

#endif  // TOLVARINE_DEMO_TEXT_H
