// The names under which the protocol reports a component's life-cycle state
// ("state") and a transition's return code ("result"): those of OpenRTM-aist's
// RTC::LifeCycleState and RTC::ReturnCode_t, whose values both the stand-in
// and OpenRTM-aist take from the same IDL. C++14.
#ifndef TOLVARINE_CONTROL_RTC_NAMES_H
#define TOLVARINE_CONTROL_RTC_NAMES_H

namespace tolvarine_control {

inline const char* lifeCycleStateName(int state) {
  static const char* const kNames[] = {"CREATED", "INACTIVE", "ACTIVE", "ERROR"};
  return state >= 0 && state < 4 ? kNames[state] : "UNKNOWN";
}

inline const char* returnCodeName(int code) {
  static const char* const kNames[] = {"RTC_OK",      "RTC_ERROR",        "BAD_PARAMETER",
                                       "UNSUPPORTED", "OUT_OF_RESOURCES", "PRECONDITION_NOT_MET"};
  return code >= 0 && code < 6 ? kNames[code] : "UNKNOWN";
}

}  // namespace tolvarine_control

#endif  // TOLVARINE_CONTROL_RTC_NAMES_H
