// Basic declarations of OpenRTM-aist's RTC namespace, as the stand-in host
// provides them (C++14).
#ifndef RTM_RTC_H
#define RTM_RTC_H

#include <omniORB4/CORBA.h>

namespace RTC {

enum ReturnCode_t {
  RTC_OK,
  RTC_ERROR,
  BAD_PARAMETER,
  UNSUPPORTED,
  OUT_OF_RESOURCES,
  PRECONDITION_NOT_MET
};

enum LifeCycleState { CREATED_STATE, INACTIVE_STATE, ACTIVE_STATE, ERROR_STATE };

typedef CORBA::Long ExecutionContextHandle_t;
typedef ExecutionContextHandle_t UniqueId;

class Manager;
class RTObject_impl;

// Factory callbacks of a component type.
typedef RTObject_impl* (*RtcNewFunc)(Manager* manager);
typedef void (*RtcDeleteFunc)(RTObject_impl* rtc);

}  // namespace RTC

// Marks the module-init function of a component for export from a DLL.
#ifndef DLL_EXPORT
#ifdef _WIN32
#define DLL_EXPORT __declspec(dllexport)
#else
#define DLL_EXPORT
#endif
#endif

#endif  // RTM_RTC_H
