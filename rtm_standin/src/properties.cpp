#include <coil/Properties.h>

#include <algorithm>
#include <ostream>
#include <string_view>

#include "property_file.h"

namespace rtm_standin {

namespace {

// True when the character at `pos` is preceded by an odd number of '\'.
bool isEscaped(const std::string& str, std::string::size_type pos) {
  std::size_t slashes = 0;
  while (pos > slashes && str[pos - slashes - 1] == '\\') {
    ++slashes;
  }
  return slashes % 2 == 1;
}

// "\t", "\n", "\f" and "\r" are the control characters; any other escaped
// character ("\\", "\:", "\=", "\ ", ...) stands for itself. Both ends are
// trimmed.
std::string unescape(const std::string& str) {
  std::string out;
  for (std::size_t i = 0; i < str.size(); ++i) {
    if (str[i] != '\\') {
      out += str[i];
    } else if (++i < str.size()) {
      const std::size_t code = std::string("tnfr").find(str[i]);
      out += code == std::string::npos ? str[i] : "\t\n\f\r"[code];
    }
  }
  coil::eraseBothEnds(out);
  return out;
}

// Key and value part at the first unescaped ':' or '=', or else at the
// first unescaped blank.
PropertyEntry makeEntry(const std::string& text, int line) {
  std::string::size_type at = std::string::npos;
  for (std::string_view separators : {":=", " \t"}) {
    for (std::string::size_type i = 0; at == std::string::npos && i < text.size(); ++i) {
      if (separators.find(text[i]) != std::string::npos && !isEscaped(text, i)) {
        at = i;
      }
    }
  }
  return {unescape(text.substr(0, at)),
          at == std::string::npos ? std::string() : unescape(text.substr(at + 1)), line};
}

}  // namespace

std::vector<PropertyEntry> parsePropertyStream(std::istream& in) {
  std::vector<PropertyEntry> entries;
  std::string pending;
  int pendingLine = 0;
  int lineNo = 0;
  std::string line;
  while (std::getline(in, line)) {
    ++lineNo;
    if (!line.empty() && line.back() == '\r') {
      line.pop_back();
    }
    coil::eraseHeadBlank(line);
    if (line.empty() || line[0] == '#' || line[0] == '!') {
      continue;
    }
    if (pending.empty()) {
      pendingLine = lineNo;
    }
    if (line.back() == '\\' && !isEscaped(line, line.size() - 1)) {
      line.pop_back();
      pending += line;
      continue;
    }
    pending += line;
    entries.push_back(makeEntry(pending, pendingLine));
    pending.clear();
  }
  // A continuation on the last line of the file still ends its entry.
  coil::eraseBothEnds(pending);
  if (!pending.empty()) {
    entries.push_back(makeEntry(pending, pendingLine));
  }
  return entries;
}

}  // namespace rtm_standin

namespace coil {

Properties::Properties(const char* key, const char* value)
    : name(key != nullptr ? key : ""), value(value != nullptr ? value : "") {}

Properties::Properties(const char* defaults[], long num) {
  for (long i = 0; i + 1 < num && defaults[i] != nullptr && defaults[i][0] != '\0'; i += 2) {
    if (defaults[i + 1] == nullptr) {
      break;
    }
    std::string key(defaults[i]);
    std::string val(defaults[i + 1]);
    eraseBothEnds(key);
    eraseBothEnds(val);
    setDefault(key, val);
  }
}

Properties::Properties(const Properties& prop) {
  *this = prop;
}

Properties& Properties::operator=(const Properties& prop) {
  if (this != &prop) {
    name = prop.name;
    value = prop.value;
    default_value = prop.default_value;
    leaf.clear();
    for (const auto& node : prop.leaf) {
      leaf.push_back(std::make_unique<Properties>(*node));
    }
  }
  return *this;
}

Properties::~Properties() = default;

Properties* Properties::findNode(const std::string& key) const {
  if (key.empty()) {
    return nullptr;
  }
  const Properties* curr = this;
  for (const std::string& part : split(key, ".")) {
    auto it = std::find_if(curr->leaf.begin(), curr->leaf.end(),
                           [&](const auto& node) { return node->name == part; });
    if (it == curr->leaf.end()) {
      return nullptr;
    }
    curr = it->get();
  }
  return const_cast<Properties*>(curr);
}

Properties& Properties::getNode(const std::string& key) {
  Properties* curr = this;
  for (const std::string& part : split(key, ".")) {
    auto it = std::find_if(curr->leaf.begin(), curr->leaf.end(),
                           [&](const auto& node) { return node->name == part; });
    if (it == curr->leaf.end()) {
      it = curr->leaf.insert(it, std::make_unique<Properties>(part.c_str()));
    }
    curr = it->get();
  }
  return *curr;
}

std::string Properties::getProperty(const std::string& key) const {
  const Properties* node = findNode(key);
  if (node == nullptr) {
    return std::string();
  }
  return node->value.empty() ? node->default_value : node->value;
}

std::string Properties::getProperty(const std::string& key, const std::string& def) const {
  std::string v = getProperty(key);
  return v.empty() ? def : v;
}

std::string Properties::setProperty(const std::string& key, const std::string& new_value) {
  std::string old = new_value;
  getNode(key).value.swap(old);
  return old;
}

std::string Properties::setDefault(const std::string& key, const std::string& new_value) {
  std::string old = new_value;
  getNode(key).default_value.swap(old);
  return old;
}

std::vector<std::string> Properties::propertyNames() const {
  std::vector<std::string> names;
  for (const auto& node : leaf) {
    if (node->leaf.empty()) {
      names.push_back(node->name);
    }
    for (const std::string& below : node->propertyNames()) {
      names.push_back(node->name + "." + below);
    }
  }
  return names;
}

int Properties::size() const {
  return static_cast<int>(propertyNames().size());
}

void Properties::list(std::ostream& out) {
  out << *this;
}

void Properties::load(std::istream& inStream) {
  for (const rtm_standin::PropertyEntry& entry : rtm_standin::parsePropertyStream(inStream)) {
    setProperty(entry.key, entry.value);
  }
}

Properties& Properties::operator<<(const Properties& prop) {
  for (const std::string& key : prop.propertyNames()) {
    setProperty(key, prop.getProperty(key));
  }
  return *this;
}

std::ostream& operator<<(std::ostream& lhs, const Properties& rhs) {
  for (const std::string& key : rhs.propertyNames()) {
    lhs << key << ": " << rhs.getProperty(key) << '\n';
  }
  return lhs;
}

}  // namespace coil
