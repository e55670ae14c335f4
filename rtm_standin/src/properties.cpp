#include <coil/Properties.h>

#include <ostream>

#include "property_file.h"

namespace rtm_standin {

namespace {

// True when the character at `pos` is preceded by an odd number of '\'.
bool isEscaped(const std::string& str, std::string::size_type pos) {
  std::size_t slashes = 0;
  while (pos > 0 && str[pos - 1] == '\\') {
    ++slashes;
    --pos;
  }
  return slashes % 2 == 1;
}

std::string unescape(const std::string& str) {
  std::string out;
  out.reserve(str.size());
  bool escaped = false;
  for (char c : str) {
    if (escaped) {
      escaped = false;
      switch (c) {
        case 't':
          out.push_back('\t');
          break;
        case 'n':
          out.push_back('\n');
          break;
        case 'f':
          out.push_back('\f');
          break;
        case 'r':
          out.push_back('\r');
          break;
        default:  // "\\", "\:", "\=", "\ ", ... stand for the character itself
          out.push_back(c);
          break;
      }
    } else if (c == '\\') {
      escaped = true;
    } else {
      out.push_back(c);
    }
  }
  return out;
}

void splitEntry(const std::string& str, std::string& key, std::string& value) {
  for (std::string::size_type i = 0; i < str.size(); ++i) {
    if ((str[i] == ':' || str[i] == '=') && !isEscaped(str, i)) {
      key = str.substr(0, i);
      value = str.substr(i + 1);
      return;
    }
  }
  for (std::string::size_type i = 0; i < str.size(); ++i) {
    if ((str[i] == ' ' || str[i] == '\t') && !isEscaped(str, i)) {
      key = str.substr(0, i);
      value = str.substr(i + 1);
      return;
    }
  }
  key = str;
  value.clear();
}

PropertyEntry makeEntry(const std::string& text, int line) {
  PropertyEntry entry;
  splitEntry(text, entry.key, entry.value);
  entry.key = unescape(entry.key);
  coil::eraseBothEnds(entry.key);
  entry.value = unescape(entry.value);
  coil::eraseBothEnds(entry.value);
  entry.line = line;
  return entry;
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
    : name(key != nullptr ? key : ""), value(value != nullptr ? value : ""), root(nullptr) {}

Properties::Properties(std::map<std::string, std::string>& defaults) : root(nullptr) {
  for (const auto& kv : defaults) {
    setDefault(kv.first, kv.second);
  }
}

Properties::Properties(const char* defaults[], long num) : root(nullptr) {
  setDefaults(defaults, num);
}

Properties::Properties(const Properties& prop)
    : name(prop.name), value(prop.value), default_value(prop.default_value), root(nullptr) {
  copyFrom(prop);
}

Properties& Properties::operator=(const Properties& prop) {
  if (this != &prop) {
    clear();
    name = prop.name;
    value = prop.value;
    default_value = prop.default_value;
    copyFrom(prop);
  }
  return *this;
}

Properties::~Properties() {
  clear();
}

void Properties::copyFrom(const Properties& prop) {
  for (const Properties* node : prop.leaf) {
    Properties* copy = new Properties(*node);
    copy->root = this;
    leaf.push_back(copy);
  }
}

void Properties::clear() {
  for (Properties* node : leaf) {
    delete node;
  }
  leaf.clear();
}

Properties* Properties::findChild(const std::string& child_name) const {
  for (Properties* node : leaf) {
    if (node->name == child_name) {
      return node;
    }
  }
  return nullptr;
}

Properties& Properties::child(const std::string& child_name) {
  Properties* node = findChild(child_name);
  if (node == nullptr) {
    node = new Properties(child_name.c_str());
    node->root = this;
    leaf.push_back(node);
  }
  return *node;
}

Properties* Properties::findNode(const std::string& key) const {
  if (key.empty()) {
    return nullptr;
  }
  const Properties* curr = this;
  for (const std::string& part : split(key, ".")) {
    curr = curr->findChild(part);
    if (curr == nullptr) {
      return nullptr;
    }
  }
  return const_cast<Properties*>(curr);
}

Properties& Properties::getNode(const std::string& key) {
  if (key.empty()) {
    return *this;
  }
  Properties* curr = this;
  for (const std::string& part : split(key, ".")) {
    curr = &curr->child(part);
  }
  return *curr;
}

bool Properties::createNode(const std::string& key) {
  if (key.empty() || findNode(key) != nullptr) {
    return false;
  }
  getNode(key);
  return true;
}

Properties* Properties::removeNode(const char* leaf_name) {
  for (auto it = leaf.begin(); it != leaf.end(); ++it) {
    if ((*it)->name == leaf_name) {
      Properties* node = *it;
      leaf.erase(it);
      node->root = nullptr;
      return node;
    }
  }
  return nullptr;
}

Properties* Properties::hasKey(const char* key) const {
  return findChild(key != nullptr ? key : "");
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

std::string Properties::getDefault(const std::string& key) const {
  const Properties* node = findNode(key);
  return node != nullptr ? node->default_value : std::string();
}

std::string Properties::setProperty(const std::string& key, const std::string& new_value) {
  Properties& node = getNode(key);
  std::string old = node.value;
  node.value = new_value;
  return old;
}

std::string Properties::setDefault(const std::string& key, const std::string& new_value) {
  Properties& node = getNode(key);
  std::string old = node.default_value;
  node.default_value = new_value;
  return old;
}

void Properties::setDefaults(const char* defaults[], long num) {
  for (long i = 0; i < num && defaults[i] != nullptr && defaults[i][0] != '\0'; i += 2) {
    if (i + 1 >= num || defaults[i + 1] == nullptr) {
      break;
    }
    std::string key(defaults[i]);
    std::string val(defaults[i + 1]);
    eraseBothEnds(key);
    eraseBothEnds(val);
    setDefault(key, val);
  }
}

void Properties::propertyNames(std::vector<std::string>& names, const std::string& curr_name,
                               const Properties* curr) {
  if (curr->leaf.empty()) {
    if (!curr_name.empty()) {
      names.push_back(curr_name);
    }
    return;
  }
  for (const Properties* node : curr->leaf) {
    propertyNames(names, curr_name.empty() ? node->name : curr_name + "." + node->name, node);
  }
}

std::vector<std::string> Properties::propertyNames() const {
  std::vector<std::string> names;
  propertyNames(names, "", this);
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

void Properties::store(std::ostream& out, const std::string& header) {
  out << '#' << header << '\n';
  for (const std::string& key : propertyNames()) {
    std::string escaped;
    for (char c : getProperty(key)) {
      if (c == '\\' || c == '\n') {
        escaped += c == '\n' ? "\\n" : "\\\\";
      } else {
        escaped += c;
      }
    }
    out << key << ": " << escaped << '\n';
  }
}

Properties& Properties::operator<<(const Properties& prop) {
  for (const std::string& key : prop.propertyNames()) {
    setProperty(key, prop.getProperty(key));
  }
  return *this;
}

std::string& Properties::operator[](const std::string& key) {
  return getNode(key).value;
}

const std::string& Properties::operator[](const std::string& key) const {
  const Properties* node = findNode(key);
  if (node == nullptr) {
    return m_empty;
  }
  return node->value.empty() ? node->default_value : node->value;
}

std::ostream& operator<<(std::ostream& lhs, const Properties& rhs) {
  for (const std::string& key : rhs.propertyNames()) {
    lhs << key << ": " << rhs.getProperty(key) << '\n';
  }
  return lhs;
}

}  // namespace coil
