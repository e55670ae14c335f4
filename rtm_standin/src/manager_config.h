// The manager's command line and configuration, and the configuration each
// component gets from its profile, its configuration files and the
// manager's configuration.
#ifndef RTM_STANDIN_MANAGER_CONFIG_H
#define RTM_STANDIN_MANAGER_CONFIG_H

#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <coil/Properties.h>

namespace rtm_standin {

class ConfigError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Keys with a meaning in the stand-in.
extern const char kRateKey[];           // exec_cxt.periodic.rate
extern const char kControlSocketKey[];  // manager.standin.control_socket
extern const char kPrecreateKey[];      // manager.components.precreate
extern const char kPreactivationKey[];  // manager.components.preactivation
extern const char kPreconnectKey[];     // manager.components.preconnect

struct CommandLine {
  bool help = false;
  std::string configFile;                                      // empty: ./rtc.conf when present
  std::vector<std::pair<std::string, std::string>> overrides;  // -o, in order
  std::vector<std::string> notices;                            // options accepted without effect
};

// Parses argv[1..]; throws ConfigError for unknown or malformed options.
CommandLine parseCommandLine(const std::vector<std::string>& args);

std::string usage(const std::string& program);

struct ManagerConfig {
  coil::Properties properties;
  std::vector<std::string> warnings;  // keys that apply to nothing
};

// Built-in defaults, then the configuration file, then the -o overrides.
// `defaultFile` is read when no -f was given and it exists. Throws
// ConfigError for an unreadable file, an entry without a key, or an invalid
// execution-context rate.
ManagerConfig loadManagerConfig(const CommandLine& line,
                                const std::string& defaultFile = "./rtc.conf");

// The properties of a new component: its profile, then
// <category>.<type_name>.config_file, then <category>.<instance>.config_file,
// then the keys under <category>.<type_name>. and <category>.<instance>. in
// the manager configuration, then `args` (from "type?key=value&...").
coil::Properties componentProperties(const coil::Properties& manager,
                                     const coil::Properties& profile, const std::string& instance,
                                     const coil::Properties& args);

// The component's execution-context rate in Hz: its own
// exec_cxt.periodic.rate, else the manager's, else 1000. Throws ConfigError
// when the value is not a positive finite number.
double componentRate(const coil::Properties& component, const coil::Properties& manager);

// Splits "type?key=value&key=value" into the type and its properties;
// throws ConfigError for a parameter without '='.
std::pair<std::string, coil::Properties> parseComponentArgs(const std::string& args);

}  // namespace rtm_standin

#endif  // RTM_STANDIN_MANAGER_CONFIG_H
