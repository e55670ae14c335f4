// Configuration parameters of a component (stand-in host, C++14).
//
// The host keeps one configuration set, "default": the profile's
// "conf.default.*" entries, overridden by the component configuration file
// and the manager configuration. Bound variables take the set's values
// right before activation and, when a tool changed the set, after the cycle
// in which it did.
#ifndef RTM_CONFIGADMIN_H
#define RTM_CONFIGADMIN_H

#include <functional>
#include <memory>

#include <coil/Properties.h>
#include <coil/stringutil.h>

namespace rtm_standin {
class ConfigStore;
class ComponentHost;
}  // namespace rtm_standin

namespace RTC {

class ConfigAdmin {
 public:
  explicit ConfigAdmin(coil::Properties& configsets);
  ~ConfigAdmin();

  // Binds `var` to the parameter `param_name`: `var` takes `def_val` now
  // (through `trans`) and the configuration set's value whenever the
  // parameters are updated. False when the name is already bound or
  // `def_val` does not convert.
  template <typename VarType>
  bool bindParameter(const char* param_name, VarType& var, const char* def_val,
                     bool (*trans)(VarType&, const char*) = coil::stringTo) {
    if (param_name == 0 || def_val == 0 || trans == 0) {
      return false;
    }
    if (isExist(param_name)) {
      return false;
    }
    if (!(*trans)(var, def_val)) {
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

  bool isExist(const char* param_name);
  // True when a tool changed the configuration since the last update.
  bool isChanged();
  const char* getActiveId();
  bool haveConfig(const char* config_id);
  bool isActive();
  // The texts of the active set (the only one, "default"), as they stand:
  // also a value that its bound variable could not take.
  const coil::Properties& getActiveConfigurationSet();

  // Updates every bound variable from the active set (or from the named
  // set, or only the named parameter).
  void update();
  void update(const char* config_set);
  void update(const char* config_set, const char* config_param);

  ConfigAdmin(const ConfigAdmin&) = delete;
  ConfigAdmin& operator=(const ConfigAdmin&) = delete;

 private:
  friend class ::rtm_standin::ComponentHost;

  // `update` converts a text into the bound variable; `check` tells whether
  // a text would convert, without touching the variable.
  void addParameter(const char* param_name, const char* def_val,
                    std::function<bool(const char*)> update,
                    std::function<bool(const char*)> check);

  std::unique_ptr< ::rtm_standin::ConfigStore> m_store;
  coil::Properties m_activeSet;  // what getActiveConfigurationSet last read
};

}  // namespace RTC

#endif  // RTM_CONFIGADMIN_H
