// Service ports (stand-in host, C++14). The stand-in has no CORBA servants,
// so a CorbaPort can be declared and added to a component but carries no
// service interfaces.
#ifndef RTM_CORBAPORT_H
#define RTM_CORBAPORT_H

#include <rtm/PortBase.h>

namespace RTC {

class CorbaPort : public PortBase {
 public:
  explicit CorbaPort(const char* name) : PortBase(name) {}
  virtual ~CorbaPort() {}
};

}  // namespace RTC

#endif  // RTM_CORBAPORT_H
