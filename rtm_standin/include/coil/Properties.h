// coil::Properties as the stand-in host provides it: OpenRTM-aist's
// hierarchical key/value list (keys are dot-separated paths), with a value
// and a default value per key (C++14).
#ifndef COIL_PROPERTIES_H
#define COIL_PROPERTIES_H

#include <climits>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include <coil/stringutil.h>

namespace coil {

class Properties {
 public:
  explicit Properties(const char* key = "", const char* value = "");
  // `defaults` holds key, value, key, value, ... and ends at the first empty
  // key or after `num` entries, whichever comes first. The pairs become
  // default values (getProperty returns them until a value is set).
  Properties(const char* defaults[], long num = LONG_MAX);
  Properties(const Properties& prop);
  Properties& operator=(const Properties& prop);
  virtual ~Properties();

  // The value of `key`, or its default when no value is set, or "".
  std::string getProperty(const std::string& key) const;
  std::string getProperty(const std::string& key, const std::string& def) const;
  // Both return the previous value.
  std::string setProperty(const std::string& key, const std::string& value);
  std::string setDefault(const std::string& key, const std::string& value);

  // "key: value" lines, one per key.
  void list(std::ostream& out);
  // Reads "key: value" (or "key = value", or "key value") lines; '#' and '!'
  // start comment lines, a trailing '\' continues the entry on the next line.
  void load(std::istream& inStream);

  // Full names of the keys, depth first in insertion order.
  std::vector<std::string> propertyNames() const;
  int size() const;

  Properties* findNode(const std::string& key) const;
  Properties& getNode(const std::string& key);

  // Copies every key of `prop` (its value, or its default) into this list.
  Properties& operator<<(const Properties& prop);
  // The value itself, created empty when missing (empty when only a
  // default is set), as in OpenRTM-aist.
  std::string& operator[](const std::string& key) { return getNode(key).value; }

 private:
  std::string name;
  std::string value;
  std::string default_value;
  std::vector<std::unique_ptr<Properties> > leaf;
};

std::ostream& operator<<(std::ostream& lhs, const Properties& rhs);

}  // namespace coil

#endif  // COIL_PROPERTIES_H
