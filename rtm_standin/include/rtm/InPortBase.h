// Type-independent part of a data in-port (stand-in host, C++14).
#ifndef RTM_INPORTBASE_H
#define RTM_INPORTBASE_H

#include <memory>

#include <omniORB4/CORBA.h>

#include <rtm/PortBase.h>

namespace rtm_standin {
class DataPortCore;
class DataPortAccess;
}  // namespace rtm_standin

namespace RTC {

class InPortBase : public PortBase {
 public:
  virtual ~InPortBase();

  // True while unread samples wait in the buffer.
  virtual bool isNew() = 0;

 protected:
  // `sample` holds a default value of the port's data type.
  InPortBase(const char* name, const CORBA::Any& sample);

 private:
  friend class ::rtm_standin::DataPortAccess;
  // Unmarshals one sample and queues it as a connected writer would.
  virtual void putMarshalled(cdrStream& sample) = 0;

  std::unique_ptr< ::rtm_standin::DataPortCore> m_core;
};

}  // namespace RTC

#endif  // RTM_INPORTBASE_H
