// Reading OpenRTM-aist's property-file format ("key: value" lines).
#ifndef RTM_STANDIN_PROPERTY_FILE_H
#define RTM_STANDIN_PROPERTY_FILE_H

#include <istream>
#include <string>
#include <vector>

namespace rtm_standin {

struct PropertyEntry {
  std::string key;
  std::string value;
  int line = 0;  // where the entry starts (1-based)
};

// Splits `in` into entries: blank lines and lines starting with '#' or '!'
// are skipped; a line ending in an unescaped '\' continues on the next line;
// key and value are separated by the first unescaped ':' or '=' (or else the
// first unescaped blank); escapes are resolved and both ends trimmed.
std::vector<PropertyEntry> parsePropertyStream(std::istream& in);

}  // namespace rtm_standin

#endif  // RTM_STANDIN_PROPERTY_FILE_H
