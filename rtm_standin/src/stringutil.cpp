#include <coil/stringutil.h>

#include <algorithm>
#include <cctype>

namespace coil {

void eraseHeadBlank(std::string& str) {
  std::string::size_type n = str.find_first_not_of(" \t");
  str.erase(0, n == std::string::npos ? str.size() : n);
}

void eraseBothEnds(std::string& str) {
  eraseHeadBlank(str);
  str.erase(str.find_last_not_of(" \t") + 1);
}

vstring split(const std::string& input, const std::string& delimiter, bool ignore_empty) {
  vstring results;
  if (input.empty()) {
    return results;
  }
  std::string::size_type begin = 0;
  while (true) {
    std::string::size_type found =
        delimiter.empty() ? std::string::npos : input.find(delimiter, begin);
    std::string part =
        input.substr(begin, found == std::string::npos ? std::string::npos : found - begin);
    eraseBothEnds(part);
    if (!(part.empty() && ignore_empty)) {
      results.push_back(part);
    }
    if (found == std::string::npos) {
      break;
    }
    begin = found + delimiter.size();
  }
  return results;
}

template <>
bool stringTo<bool>(bool& val, const char* str) {
  if (str == nullptr) {
    return false;
  }
  std::string text(str);
  eraseBothEnds(text);
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (text == "true" || text == "1" || text == "yes" || text == "on") {
    val = true;
    return true;
  }
  if (text == "false" || text == "0" || text == "no" || text == "off") {
    val = false;
    return true;
  }
  return false;
}

}  // namespace coil
