// Configuration parameters of a component (stand-in host, C++14): one
// configuration set, "default", whose values the bound variables take.
#ifndef RTM_CONFIGADMIN_H
#define RTM_CONFIGADMIN_H

#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <coil/Properties.h>
#include <coil/stringutil.h>

namespace RTC {

class ConfigAdmin {
 public:
  using Values = std::vector<std::pair<std::string, std::string> >;

  explicit ConfigAdmin(coil::Properties& /*configsets*/) {}

  // Binds `var` to the parameter `param_name`: `var` takes `def_val` now
  // (through `trans`) and the configuration set's value whenever the
  // parameters are updated. False when the name is already bound or
  // `def_val` does not convert.
  template <typename VarType>
  bool bindParameter(const char* param_name, VarType& var, const char* def_val,
                     bool (*trans)(VarType&, const char*) = coil::stringTo) {
    if (param_name == 0 || def_val == 0 || trans == 0 || isBound(param_name) ||
        !(*trans)(var, def_val)) {
      return false;
    }
    VarType* target = &var;
    addParameter(
        param_name, def_val, [target, trans](const char* text) { return (*trans)(*target, text); },
        [trans](const char* text) {
          VarType scratch = VarType();
          return (*trans)(scratch, text);
        });
    return true;
  }

  // The texts of the active set (the only one, "default"), as they stand:
  // also a value that its bound variable could not take.
  const coil::Properties& getActiveConfigurationSet();
  // Updates every bound variable from the active set. A value that does not
  // convert leaves its variable as it was and is reported on the console.
  void update();

  // ---- for the host; any thread ----
  // Replaces the set (keys relative to "conf.default."); `owner` names the
  // component in messages.
  void setValues(const std::string& owner, const coil::Properties& set);
  // True when a tool changed the set since the last update().
  bool isChanged();
  Values values();
  // False (with a reason) for an unknown name or a value the bound
  // variable's conversion refuses.
  bool set(const std::string& name, const std::string& value, std::string& why);

  ConfigAdmin(const ConfigAdmin&) = delete;
  ConfigAdmin& operator=(const ConfigAdmin&) = delete;

 private:
  struct Param {
    std::string name;
    std::function<bool(const char*)> update;  // converts a text into the variable
    std::function<bool(const char*)> check;   // whether a text would convert
  };

  bool isBound(const char* name);
  void addParameter(const char* name, const char* def_val, std::function<bool(const char*)> update,
                    std::function<bool(const char*)> check);

  std::mutex m_mutex;
  std::string m_owner;
  Values m_values;
  std::vector<Param> m_params;
  bool m_changed = false;
  coil::Properties m_activeSet;  // what getActiveConfigurationSet last read
};

}  // namespace RTC

#endif  // RTM_CONFIGADMIN_H
