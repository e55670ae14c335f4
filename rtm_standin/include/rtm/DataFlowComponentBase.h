// RTC::DataFlowComponentBase: the base of periodic data-flow components
// (stand-in host, C++14).
#ifndef RTM_DATAFLOWCOMPONENTBASE_H
#define RTM_DATAFLOWCOMPONENTBASE_H

#include <rtm/RTObject.h>

namespace RTC {

class DataFlowComponentBase : public RTObject_impl {
 public:
  explicit DataFlowComponentBase(Manager* manager) : RTObject_impl(manager) {}
  virtual ~DataFlowComponentBase() {}
  void init() {}
};

}  // namespace RTC

#endif  // RTM_DATAFLOWCOMPONENTBASE_H
