// RTC::OutPort: a data out-port (stand-in host, C++14).
//
// As with OpenRTM-aist, include the data type's generated header before this
// one, so that its CORBA::Any operators are visible to the template.
#ifndef RTM_OUTPORT_H
#define RTM_OUTPORT_H

#include <rtm/OutPortBase.h>
#include <rtm/SampleAny.h>

namespace RTC {

template <class DataType>
class OutPort : public OutPortBase {
 public:
  OutPort(const char* name, DataType& value)
      : OutPortBase(name, rtm_standin::sampleAny(value)), m_value(value) {}

  virtual ~OutPort() {}

  // Publishes the bound variable to every subscriber.
  bool write() { return write(m_value); }

  virtual bool write(DataType& value) {
    if (hasListeners()) {
      cdrMemoryStream sample;
      value >>= sample;
      publish(sample);
    }
    return true;
  }

 private:
  DataType& m_value;
};

}  // namespace RTC

#endif  // RTM_OUTPORT_H
