// coil::Properties as the stand-in host provides it: OpenRTM-aist's
// hierarchical key/value list (keys are dot-separated paths), with a value
// and a default value per key (C++14).
#ifndef COIL_PROPERTIES_H
#define COIL_PROPERTIES_H

#include <climits>
#include <iosfwd>
#include <map>
#include <string>
#include <vector>

#include <coil/stringutil.h>

namespace coil {

class Properties {
 public:
  explicit Properties(const char* key = "", const char* value = "");
  explicit Properties(std::map<std::string, std::string>& defaults);
  // `defaults` holds key, value, key, value, ... and ends at the first empty
  // key or after `num` entries, whichever comes first. The pairs become
  // default values (getProperty returns them until a value is set).
  Properties(const char* defaults[], long num = LONG_MAX);
  Properties(const Properties& prop);
  Properties& operator=(const Properties& prop);
  virtual ~Properties();

  const char* getName() const { return name.c_str(); }
  const char* getValue() const { return value.c_str(); }
  const char* getDefaultValue() const { return default_value.c_str(); }
  const std::vector<Properties*>& getLeaf() const { return leaf; }
  const Properties* getRoot() const { return root; }

  // The value of `key`, or its default when no value is set, or "".
  std::string getProperty(const std::string& key) const;
  std::string getProperty(const std::string& key, const std::string& def) const;
  std::string getDefault(const std::string& key) const;
  // Both return the previous value.
  std::string setProperty(const std::string& key, const std::string& value);
  std::string setDefault(const std::string& key, const std::string& value);
  void setDefaults(const char* defaults[], long num = LONG_MAX);

  // "key: value" lines, one per key.
  void list(std::ostream& out);
  // Reads "key: value" (or "key = value", or "key value") lines; '#' and '!'
  // start comment lines, a trailing '\' continues the entry on the next line.
  void load(std::istream& inStream);
  void store(std::ostream& out, const std::string& header);

  // Full names of the keys, depth first in insertion order.
  std::vector<std::string> propertyNames() const;
  int size() const;

  Properties* findNode(const std::string& key) const;
  Properties& getNode(const std::string& key);
  bool createNode(const std::string& key);
  Properties* removeNode(const char* leaf_name);
  Properties* hasKey(const char* key) const;
  void clear();

  // Copies every key of `prop` (its value, or its default) into this list.
  Properties& operator<<(const Properties& prop);

  // As in OpenRTM-aist: the non-const form gives the value itself (created
  // empty when missing, and empty when only a default is set); the const
  // form reads like getProperty().
  std::string& operator[](const std::string& key);
  const std::string& operator[](const std::string& key) const;

 private:
  static void propertyNames(std::vector<std::string>& names, const std::string& curr_name,
                            const Properties* curr);
  Properties* findChild(const std::string& child_name) const;
  Properties& child(const std::string& child_name);
  void copyFrom(const Properties& prop);

  std::string name;
  std::string value;
  std::string default_value;
  Properties* root;
  std::vector<Properties*> leaf;
  std::string m_empty;
};

std::ostream& operator<<(std::ostream& lhs, const Properties& rhs);

}  // namespace coil

#endif  // COIL_PROPERTIES_H
