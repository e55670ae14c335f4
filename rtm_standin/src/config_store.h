// The configuration of one component: its "default" configuration set and
// the variables bound to it.
#ifndef RTM_STANDIN_CONFIG_STORE_H
#define RTM_STANDIN_CONFIG_STORE_H

#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <coil/Properties.h>

namespace rtm_standin {

class ConfigStore {
 public:
  using Values = std::vector<std::pair<std::string, std::string>>;

  // Name used in console messages.
  void setOwner(const std::string& owner);
  // Replaces the set's values (keys relative to "conf.default.").
  void setValues(const coil::Properties& set);

  // Component side: called in the component's threads.
  bool isBound(const std::string& name) const;
  void bind(const std::string& name, const std::string& def_val,
            std::function<bool(const char*)> update, std::function<bool(const char*)> check);
  // Loads the set's values into the bound variables: all of them (and then
  // clears the changed flag), or only `only`. A value that does not convert
  // leaves its variable as it was and is reported on the console.
  void update(const std::string& only = std::string());
  bool changed() const;

  // Tool side: any thread.
  Values values() const;
  bool value(const std::string& name, std::string& out) const;
  // False (with a reason) for an unknown name or a value the bound
  // variable's conversion refuses.
  bool set(const std::string& name, const std::string& value, std::string& why);

 private:
  struct Param {
    std::string name;
    std::function<bool(const char*)> update;
    std::function<bool(const char*)> check;
  };

  mutable std::mutex m_mutex;
  std::string m_owner;
  Values m_values;
  std::vector<Param> m_params;
  bool m_changed = false;
};

}  // namespace rtm_standin

#endif  // RTM_STANDIN_CONFIG_STORE_H
