// RTC::InPort: a data in-port with a bounded buffer (stand-in host, C++14).
//
// As with OpenRTM-aist, include the data type's generated header before this
// one, so that its CORBA::Any operators are visible to the template.
#ifndef RTM_INPORT_H
#define RTM_INPORT_H

#include <cstddef>
#include <deque>
#include <mutex>

#include <rtm/InPortBase.h>
#include <rtm/SampleAny.h>

namespace RTC {

template <class DataType>
class InPort : public InPortBase {
 public:
  // Samples wait in a first-in first-out buffer of 8 entries; when it is
  // full the oldest is overwritten. That is OpenRTM-aist's default buffer of
  // a connection (a ring buffer of 8, "overwrite" when full), which, like
  // this one, ignores `bufsize`. The blocking and time-out arguments are
  // accepted for compatibility and have no effect: read() never waits.
  InPort(const char* name, DataType& value, int /*bufsize*/ = 64, bool /*read_block*/ = false,
         bool /*write_block*/ = false, int /*read_timeout*/ = 0, int /*write_timeout*/ = 0)
      : InPortBase(name, rtm_standin::sampleAny(value)), m_value(value) {}

  virtual ~InPort() {}

  virtual bool isNew() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return !m_buffer.empty();
  }

  // Copies the oldest waiting sample into the bound variable; false (and the
  // variable unchanged) when nothing waits.
  bool read() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_buffer.empty()) {
      return false;
    }
    m_value = m_buffer.front();
    m_buffer.pop_front();
    return true;
  }

 private:
  virtual void putMarshalled(cdrStream& sample) {
    DataType value;
    value <<= sample;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_buffer.size() >= kBufferLength) {
      m_buffer.pop_front();
    }
    m_buffer.push_back(value);
  }

  static const std::size_t kBufferLength = 8;

  DataType& m_value;
  std::deque<DataType> m_buffer;
  std::mutex m_mutex;
};

}  // namespace RTC

#endif  // RTM_INPORT_H
