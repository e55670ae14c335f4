// String helpers of OpenRTM-aist's coil library, as the stand-in host
// provides them (C++14).
#ifndef COIL_STRINGUTIL_H
#define COIL_STRINGUTIL_H

#include <sstream>
#include <string>
#include <vector>

namespace coil {

typedef std::vector<std::string> vstring;

// Removes blanks (spaces and tabs) at the start, or at both ends.
void eraseHeadBlank(std::string& str);
void eraseBothEnds(std::string& str);

// Splits at every occurrence of `delimiter`; each part is trimmed. An empty
// input gives an empty list.
vstring split(const std::string& input, const std::string& delimiter, bool ignore_empty = false);

// Text to value by stream extraction. On failure the variable keeps the
// value it had and false is returned (a plain extraction would zero it).
template <typename To>
bool stringTo(To& val, const char* str) {
  if (str == 0) {
    return false;
  }
  std::istringstream s(str);
  To tmp = To();
  if ((s >> tmp).fail()) {
    return false;
  }
  val = tmp;
  return true;
}

// The whole text, blanks included.
template <>
inline bool stringTo<std::string>(std::string& val, const char* str) {
  if (str == 0) {
    return false;
  }
  val = str;
  return true;
}

// "true"/"false", "1"/"0", "yes"/"no", "on"/"off", in any letter case.
template <>
bool stringTo<bool>(bool& val, const char* str);

// Value to text by stream insertion.
template <typename From>
std::string otos(From num) {
  std::ostringstream os;
  os << num;
  return os.str();
}

}  // namespace coil

#endif  // COIL_STRINGUTIL_H
