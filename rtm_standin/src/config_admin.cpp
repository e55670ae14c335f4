#include <rtm/ConfigAdmin.h>

#include <algorithm>
#include <cstring>

#include "config_store.h"
#include "host_log.h"

namespace rtm_standin {

namespace {

const char kDefaultSet[] = "default";

}  // namespace

void ConfigStore::setOwner(const std::string& owner) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_owner = owner;
}

void ConfigStore::setValues(const coil::Properties& set) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_values.clear();
  for (const std::string& key : set.propertyNames()) {
    m_values.emplace_back(key, set.getProperty(key));
  }
  m_changed = true;
}

bool ConfigStore::isBound(const std::string& name) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return std::any_of(m_params.begin(), m_params.end(),
                     [&](const Param& p) { return p.name == name; });
}

void ConfigStore::bind(const std::string& name, const std::string& def_val,
                       std::function<bool(const char*)> update,
                       std::function<bool(const char*)> check) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_params.push_back({name, std::move(update), std::move(check)});
  // A parameter the profile does not list still shows in the set, with the
  // default its binding gave.
  bool listed =
      std::any_of(m_values.begin(), m_values.end(),
                  [&](const std::pair<std::string, std::string>& v) { return v.first == name; });
  if (!listed) {
    m_values.emplace_back(name, def_val);
  }
}

void ConfigStore::update(const std::string& only) {
  std::vector<std::pair<Param, std::string>> work;
  std::string owner;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const Param& p : m_params) {
      for (const auto& v : m_values) {
        if (v.first == p.name && (only.empty() || p.name == only)) {
          work.emplace_back(p, v.second);
        }
      }
    }
    if (only.empty()) {
      m_changed = false;
    }
    owner = m_owner;
  }
  // Outside the lock: a conversion is the component's own code.
  for (const auto& item : work) {
    if (!item.first.update(item.second.c_str())) {
      hostLog(owner + ": parameter '" + item.first.name + "': cannot convert '" + item.second +
              "'; it keeps its previous value");
    }
  }
}

bool ConfigStore::changed() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_changed;
}

ConfigStore::Values ConfigStore::values() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_values;
}

bool ConfigStore::value(const std::string& name, std::string& out) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  for (const auto& v : m_values) {
    if (v.first == name) {
      out = v.second;
      return true;
    }
  }
  return false;
}

bool ConfigStore::set(const std::string& name, const std::string& value, std::string& why) {
  std::lock_guard<std::mutex> lock(m_mutex);
  auto entry =
      std::find_if(m_values.begin(), m_values.end(),
                   [&](const std::pair<std::string, std::string>& v) { return v.first == name; });
  if (entry == m_values.end()) {
    std::string names;
    for (const auto& v : m_values) {
      names += (names.empty() ? "" : ", ") + v.first;
    }
    why = m_owner + " has no parameter '" + name + "' (parameters: " + names + ")";
    return false;
  }
  for (const Param& p : m_params) {
    if (p.name == name && !p.check(value.c_str())) {
      why = "'" + value + "' is not a valid value for " + name;
      return false;
    }
  }
  entry->second = value;
  m_changed = true;
  return true;
}

}  // namespace rtm_standin

namespace RTC {

ConfigAdmin::ConfigAdmin(coil::Properties& /*configsets*/)
    : m_store(new rtm_standin::ConfigStore) {}

ConfigAdmin::~ConfigAdmin() = default;

void ConfigAdmin::addParameter(const char* param_name, const char* def_val,
                               std::function<bool(const char*)> update,
                               std::function<bool(const char*)> check) {
  m_store->bind(param_name, def_val, std::move(update), std::move(check));
}

bool ConfigAdmin::isExist(const char* param_name) {
  return param_name != nullptr && m_store->isBound(param_name);
}

bool ConfigAdmin::isChanged() {
  return m_store->changed();
}

const char* ConfigAdmin::getActiveId() {
  return rtm_standin::kDefaultSet;
}

bool ConfigAdmin::haveConfig(const char* config_id) {
  return config_id != nullptr && std::strcmp(config_id, rtm_standin::kDefaultSet) == 0;
}

bool ConfigAdmin::isActive() {
  return true;
}

const coil::Properties& ConfigAdmin::getActiveConfigurationSet() {
  m_activeSet = coil::Properties();
  for (const auto& value : m_store->values()) {
    m_activeSet.setProperty(value.first, value.second);
  }
  return m_activeSet;
}

void ConfigAdmin::update() {
  m_store->update();
}

void ConfigAdmin::update(const char* config_set) {
  if (haveConfig(config_set)) {
    m_store->update();
  }
}

void ConfigAdmin::update(const char* config_set, const char* config_param) {
  if (haveConfig(config_set) && config_param != nullptr && *config_param != '\0') {
    m_store->update(config_param);
  }
}

}  // namespace RTC
