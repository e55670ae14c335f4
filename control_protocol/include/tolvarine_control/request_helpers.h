// What every server of the control protocol reads from a request and says
// back the same way, so that the stand-in host and the driver component on
// OpenRTM-aist word each refusal alike. C++14.
#ifndef TOLVARINE_CONTROL_REQUEST_HELPERS_H
#define TOLVARINE_CONTROL_REQUEST_HELPERS_H

#include <string>
#include <vector>

#include <tolvarine_control/server.h>

namespace tolvarine_control {

// The text field `name`: empty when it is absent or null and not `required`.
// RequestError when it is missing but required, or not a string.
std::string stringField(const Json& body, const char* name, bool required);

// "value" of a "set" as text: a string as it is, a number or a boolean as
// JSON writes it.
std::string valueField(const Json& body);

// "sample" of a "write"; RequestError with an example when there is none.
const Json& sampleField(const Json& body);

// The ports a "subscribe" or "unsubscribe" names: "ports" (one name or a
// list of names) and "port". RequestError when `required` and none is named.
std::vector<std::string> portNames(const Json& body, bool required);

// The refusal of a request whose "cmd" is missing (empty) or none of
// `commands` ("list, activate, ...").
RequestError unknownCommand(const std::string& cmd, const std::string& commands);

// `reply` (naming the "component") with the whole `config`, or with "key"
// and "value" when `key` is not empty. RequestError when `config` has no
// such key.
Json configReply(Json reply, const Json& config, const std::string& key);

// The names under which replies give a component's life-cycle state and a
// transition's return code: those of OpenRTM-aist's RTC::LifeCycleState and
// RTC::ReturnCode_t, whose values the stand-in takes from the same IDL.
const char* lifeCycleStateName(int state);
const char* returnCodeName(int code);

// Answers a transition of `instance` with "component", "state" and "result";
// refused with `message` unless `code` is RTC_OK.
void answerTransition(const Request& request, const std::string& instance, int state, int code,
                      const std::string& message);

}  // namespace tolvarine_control

#endif  // TOLVARINE_CONTROL_REQUEST_HELPERS_H
