#include <rtm/ConfigAdmin.h>

#include <algorithm>

#include "host_log.h"

namespace RTC {

namespace {

using Value = std::pair<std::string, std::string>;

}  // namespace

bool ConfigAdmin::isBound(const char* name) {
  std::lock_guard<std::mutex> lock(m_mutex);
  return std::any_of(m_params.begin(), m_params.end(),
                     [&](const Param& p) { return p.name == name; });
}

void ConfigAdmin::addParameter(const char* name, const char* def_val,
                               std::function<bool(const char*)> update,
                               std::function<bool(const char*)> check) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_params.push_back({name, std::move(update), std::move(check)});
  // A parameter the profile does not list still shows in the set, with the
  // default its binding gave.
  if (std::none_of(m_values.begin(), m_values.end(),
                   [&](const Value& v) { return v.first == name; })) {
    m_values.emplace_back(name, def_val);
  }
}

const coil::Properties& ConfigAdmin::getActiveConfigurationSet() {
  m_activeSet = coil::Properties();
  for (const Value& value : values()) {
    m_activeSet.setProperty(value.first, value.second);
  }
  return m_activeSet;
}

void ConfigAdmin::update() {
  std::vector<std::pair<Param, std::string>> work;
  std::string owner;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const Param& p : m_params) {
      for (const Value& v : m_values) {
        if (v.first == p.name) {
          work.emplace_back(p, v.second);
        }
      }
    }
    m_changed = false;
    owner = m_owner;
  }
  // Outside the lock: a conversion is the component's own code.
  for (const auto& item : work) {
    if (!item.first.update(item.second.c_str())) {
      rtm_standin::hostLog(owner + ": parameter '" + item.first.name + "': cannot convert '" +
                           item.second + "'; it keeps its previous value");
    }
  }
}

void ConfigAdmin::setValues(const std::string& owner, const coil::Properties& set) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_owner = owner;
  m_values.clear();
  for (const std::string& key : set.propertyNames()) {
    m_values.emplace_back(key, set.getProperty(key));
  }
  m_changed = true;
}

bool ConfigAdmin::isChanged() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_changed;
}

ConfigAdmin::Values ConfigAdmin::values() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_values;
}

bool ConfigAdmin::set(const std::string& name, const std::string& value, std::string& why) {
  std::lock_guard<std::mutex> lock(m_mutex);
  auto entry = std::find_if(m_values.begin(), m_values.end(),
                            [&](const Value& v) { return v.first == name; });
  if (entry == m_values.end()) {
    std::string names;
    for (const Value& v : m_values) {
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

}  // namespace RTC
