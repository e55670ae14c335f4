#include "text.h"

#include <cstdarg>
#include <cstdio>

namespace tolvarine_demo {

std::string format(const char* pattern, ...) {
  char text[512];
  va_list args;
  va_start(args, pattern);
  std::vsnprintf(text, sizeof text, pattern, args);
  va_end(args);
  return text;
}

double degrees(double radians) {
  return radians * 180.0 / 3.14159265358979323846;
}

std::string poseText(double x, double y, double theta) {
  return format("x %7.3f m  y %7.3f m  heading %7.1f deg", x, y, degrees(theta));
}

}  // namespace tolvarine_demo
