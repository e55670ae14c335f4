// Base of every port of a component (stand-in host, C++14).
#ifndef RTM_PORTBASE_H
#define RTM_PORTBASE_H

#include <string>

namespace RTC {

class PortBase {
 public:
  explicit PortBase(const char* name = "");
  virtual ~PortBase();

  const char* getName() const { return m_name.c_str(); }
  void setName(const char* name) { m_name = name != 0 ? name : ""; }

  PortBase(const PortBase&) = delete;
  PortBase& operator=(const PortBase&) = delete;

 private:
  std::string m_name;
};

}  // namespace RTC

#endif  // RTM_PORTBASE_H
