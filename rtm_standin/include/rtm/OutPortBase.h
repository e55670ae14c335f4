// Type-independent part of a data out-port (stand-in host, C++14).
#ifndef RTM_OUTPORTBASE_H
#define RTM_OUTPORTBASE_H

#include <memory>

#include <omniORB4/CORBA.h>

#include <rtm/PortBase.h>

namespace rtm_standin {
class DataPortCore;
class DataPortAccess;
}  // namespace rtm_standin

namespace RTC {

class OutPortBase : public PortBase {
 public:
  virtual ~OutPortBase();

 protected:
  // `sample` holds a default value of the port's data type.
  OutPortBase(const char* name, const CORBA::Any& sample);

  // True when anything listens: only then is a sample worth marshalling.
  bool hasListeners() const;
  // Hands one marshalled sample to every listener.
  void publish(cdrMemoryStream& sample);

 private:
  friend class ::rtm_standin::DataPortAccess;

  std::unique_ptr< ::rtm_standin::DataPortCore> m_core;
};

}  // namespace RTC

#endif  // RTM_OUTPORTBASE_H
