#include "parameter_checks.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <sstream>

namespace tolvarine_component {

namespace {

bool isBlank(char c) {
  return std::isspace(static_cast<unsigned char>(c)) != 0;
}

}  // namespace

bool parseNumber(const std::string& text, double& value) {
  std::string::size_type first = 0;
  std::string::size_type last = text.size();
  while (first < last && isBlank(text[first])) {
    ++first;
  }
  while (last > first && isBlank(text[last - 1])) {
    --last;
  }
  const std::string number = text.substr(first, last - first);
  // strtod also reads "nan", "inf" and hexadecimal; none of them is a length
  // or a time anybody types on purpose.
  for (char c : number) {
    if (!(std::isdigit(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '+' ||
          c == 'e' || c == 'E')) {
      return false;
    }
  }
  if (number.empty()) {
    return false;
  }
  errno = 0;
  char* end = nullptr;
  const double parsed = std::strtod(number.c_str(), &end);
  if (end != number.c_str() + number.size() || errno == ERANGE || !std::isfinite(parsed)) {
    return false;
  }
  value = parsed;
  return true;
}

std::string checkTread(const std::string& text, double& treadM) {
  double tread = 0.0;
  if (!parseNumber(text, tread)) {
    return "not a number of metres";
  }
  // The split v +/- T*w mirrors every turn with a negative tread and drops
  // turning altogether with 0.
  if (!(tread > 0.0)) {
    return "the tread must be a length above 0 m";
  }
  if (tread > kMaxTreadM) {
    std::ostringstream why;
    why << "a tread of " << tread << " m is wider than any wheelchair (at most " << kMaxTreadM
        << " m; the unit is metres, 0.5488 for this chair)";
    return why.str();
  }
  treadM = tread;
  return std::string();
}

std::string checkCommandTimeout(const std::string& text, double& seconds) {
  double timeout = 0.0;
  if (!parseNumber(text, timeout)) {
    return "not a number of seconds";
  }
  if (timeout < 0.0 || timeout > kMaxCommandTimeoutS) {
    std::ostringstream why;
    why << "the time-out must be from 0 (off) to " << kMaxCommandTimeoutS << " s";
    return why.str();
  }
  seconds = timeout;
  return std::string();
}

std::string checkExecutionRate(double rateHz) {
  if (std::isfinite(rateHz) && rateHz >= kMinExecutionRateHz) {
    return std::string();
  }
  std::ostringstream why;
  why << "the execution context runs at " << rateHz << " Hz; below " << kMinExecutionRateHz
      << " Hz a stop would wait too long to reach the chair (set exec_cxt.periodic.rate, "
         "30 suits the 30 ms link)";
  return why.str();
}

}  // namespace tolvarine_component
