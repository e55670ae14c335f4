#include <tolvarine_control/request_helpers.h>

namespace tolvarine_control {

std::string stringField(const Json& body, const char* name, bool required) {
  const auto it = body.find(name);
  if (it == body.end() || it->is_null()) {
    if (required) {
      throw RequestError(std::string("missing \"") + name + "\"");
    }
    return std::string();
  }
  if (!it->is_string()) {
    throw RequestError(std::string("\"") + name + "\" must be a string");
  }
  return it->get<std::string>();
}

std::string valueField(const Json& body) {
  const auto it = body.find("value");
  if (it == body.end()) {
    throw RequestError("missing \"value\"");
  }
  if (it->is_string()) {
    return it->get<std::string>();
  }
  if (it->is_number() || it->is_boolean()) {
    return it->dump();
  }
  throw RequestError("\"value\" must be a string, a number or a boolean");
}

const Json& sampleField(const Json& body) {
  const auto it = body.find("sample");
  if (it == body.end()) {
    throw RequestError(
        R"(missing "sample", e.g. {"cmd":"write","port":"VelocityIn","sample":{"data":{"vx":0.3,"vy":0,"va":0.1}}})");
  }
  return *it;
}

std::vector<std::string> portNames(const Json& body, bool required) {
  std::vector<std::string> names;
  const auto ports = body.find("ports");
  if (ports != body.end()) {
    if (ports->is_string()) {
      names.push_back(ports->get<std::string>());
    } else if (ports->is_array()) {
      for (const Json& p : *ports) {
        if (!p.is_string()) {
          throw RequestError("\"ports\" must be a list of port names");
        }
        names.push_back(p.get<std::string>());
      }
    } else {
      throw RequestError("\"ports\" must be a list of port names");
    }
  }
  if (body.contains("port")) {
    names.push_back(stringField(body, "port", true));
  }
  if (names.empty() && required) {
    throw RequestError(R"(missing "ports", e.g. {"cmd":"subscribe","ports":["VelocityOut"]})");
  }
  return names;
}

RequestError unknownCommand(const std::string& cmd, const std::string& commands) {
  return RequestError(
      (cmd.empty() ? std::string("missing \"cmd\"") : "unknown command \"" + cmd + "\"") +
      "; commands: " + commands);
}

Json configReply(Json reply, const Json& config, const std::string& key) {
  if (key.empty()) {
    reply["config"] = config;
  } else if (config.contains(key)) {
    reply["key"] = key;
    reply["value"] = config[key];
  } else {
    throw RequestError(reply.value("component", "") + " has no parameter '" + key + "'");
  }
  return reply;
}

const char* lifeCycleStateName(int state) {
  static const char* const kNames[] = {"CREATED", "INACTIVE", "ACTIVE", "ERROR"};
  return state >= 0 && state < 4 ? kNames[state] : "UNKNOWN";
}

const char* returnCodeName(int code) {
  static const char* const kNames[] = {"RTC_OK",      "RTC_ERROR",        "BAD_PARAMETER",
                                       "UNSUPPORTED", "OUT_OF_RESOURCES", "PRECONDITION_NOT_MET"};
  return code >= 0 && code < 6 ? kNames[code] : "UNKNOWN";
}

void answerTransition(const Request& request, const std::string& instance, int state, int code,
                      const std::string& message) {
  const Json fields{{"component", instance},
                    {"state", lifeCycleStateName(state)},
                    {"result", returnCodeName(code)}};
  if (code == 0) {
    request.succeed(fields);
  } else {
    request.fail(message, fields);
  }
}

}  // namespace tolvarine_control
