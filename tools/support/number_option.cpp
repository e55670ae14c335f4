#include "number_option.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace tolvarine_tools {

bool parseNumber(const std::string& text, double low, double high, double& out) {
  char* end = nullptr;
  errno = 0;
  const double value = std::strtod(text.c_str(), &end);
  if (text.empty() || errno != 0 || *end != '\0' || !std::isfinite(value) || value < low ||
      value > high) {
    return false;
  }
  out = value;
  return true;
}

}  // namespace tolvarine_tools
