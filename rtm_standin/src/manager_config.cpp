#include "manager_config.h"

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "property_file.h"

namespace rtm_standin {

const char kRateKey[] = "exec_cxt.periodic.rate";
const char kControlSocketKey[] = "manager.standin.control_socket";
const char kPrecreateKey[] = "manager.components.precreate";
const char kPreactivationKey[] = "manager.components.preactivation";
const char kPreconnectKey[] = "manager.components.preconnect";

namespace {

// The most a configuration file may hold.
const std::size_t kMaxConfigFileBytes = 1 << 20;

// Splits "-xVALUE" or "-x VALUE"; advances `i` past a separate value.
std::string optionValue(const std::vector<std::string>& args, std::size_t& i, const char* what) {
  const std::string& arg = args[i];
  if (arg.size() > 2) {
    return arg.substr(2);
  }
  if (i + 1 >= args.size()) {
    throw ConfigError("option " + arg + " needs " + what);
  }
  return args[++i];
}

std::pair<std::string, std::string> parseOverride(const std::string& text) {
  std::string::size_type colon = text.find(':');
  if (colon == std::string::npos) {
    throw ConfigError("option -o expects \"key: value\", got \"" + text + "\"");
  }
  std::string key = text.substr(0, colon);
  std::string value = text.substr(colon + 1);
  coil::eraseBothEnds(key);
  coil::eraseBothEnds(value);
  if (key.empty()) {
    throw ConfigError("option -o expects \"key: value\", got \"" + text + "\" (no key)");
  }
  return {key, value};
}

const char* fileKind(mode_t mode) {
  return S_ISDIR(mode)    ? "a directory"
         : S_ISFIFO(mode) ? "a FIFO"
         : S_ISCHR(mode)  ? "a character device"
         : S_ISBLK(mode)  ? "a block device"
         : S_ISSOCK(mode) ? "a socket"
                          : "a special file";
}

void copyNode(const coil::Properties& manager, const std::string& node, coil::Properties& into) {
  const coil::Properties* found = manager.findNode(node);
  if (found == nullptr) {
    return;
  }
  for (const std::string& key : found->propertyNames()) {
    if (key != "config_file") {
      into.setProperty(key, found->getProperty(key));
    }
  }
}

// The text of a configuration file: a regular file of at most
// kMaxConfigFileBytes. Anything else (a directory, a FIFO, a device, a
// larger file) is refused with a ConfigError naming its kind or size,
// without waiting for it.
std::string readConfigFile(const std::string& path) {
  auto refuse = [&](const std::string& why) {
    return ConfigError("cannot read configuration file " + path + ": " + why);
  };
  // Non-blocking, so that opening a FIFO nobody writes to returns at once;
  // it is refused below like anything else that is not a regular file.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    throw refuse(std::strerror(errno));
  }
  struct stat st {};
  std::string text;
  std::string why;
  if (::fstat(fd, &st) != 0) {
    why = std::strerror(errno);
  } else if (!S_ISREG(st.st_mode)) {
    why = std::string("it is ") + fileKind(st.st_mode) + ", not a regular file";
  } else if (static_cast<std::uintmax_t>(st.st_size) > kMaxConfigFileBytes) {
    why = "it has " + std::to_string(st.st_size) + " bytes, more than the " +
          std::to_string(kMaxConfigFileBytes) + " read";
  } else {
    // One byte more than allowed tells a file that grew meanwhile.
    text.resize(kMaxConfigFileBytes + 1);
    std::size_t got = 0;
    ssize_t n = 0;
    while (got < text.size() && (n = ::read(fd, &text[got], text.size() - got)) > 0) {
      got += static_cast<std::size_t>(n);
    }
    text.resize(got);
    if (n < 0) {
      why = std::strerror(errno);
    } else if (got > kMaxConfigFileBytes) {
      why = "it grew past " + std::to_string(kMaxConfigFileBytes) + " bytes while being read";
    }
  }
  ::close(fd);
  if (!why.empty()) {
    throw refuse(why);
  }
  return text;
}

// Reads a configuration file into `into`; throws ConfigError when it cannot
// be read or an entry has no key.
void loadPropertiesFile(const std::string& path, coil::Properties& into) {
  std::istringstream in(readConfigFile(path));
  std::vector<PropertyEntry> entries = parsePropertyStream(in);
  for (const PropertyEntry& entry : entries) {
    if (entry.key.empty()) {
      throw ConfigError(path + ":" + std::to_string(entry.line) + ": entry without a key");
    }
  }
  for (const PropertyEntry& entry : entries) {
    into.setProperty(entry.key, entry.value);
  }
}

// Parses a rate in Hz; throws ConfigError naming `source`.
double parseRate(const std::string& text, const std::string& source) {
  std::string trimmed = text;
  coil::eraseBothEnds(trimmed);
  char* end = nullptr;
  errno = 0;
  double rate = std::strtod(trimmed.c_str(), &end);
  if (trimmed.empty() || end == nullptr || *end != '\0' || errno == ERANGE ||
      !std::isfinite(rate) || rate <= 0) {
    throw ConfigError(source + " must be a positive number of Hz, got \"" + text + "\"");
  }
  return rate;
}

}  // namespace

CommandLine parseCommandLine(const std::vector<std::string>& args) {
  CommandLine line;
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "-h" || arg == "--help") {
      line.help = true;
    } else if (arg.compare(0, 2, "-f") == 0) {
      line.configFile = optionValue(args, i, "a file name");
      if (line.configFile.empty()) {
        throw ConfigError("option -f needs a file name");
      }
    } else if (arg.compare(0, 2, "-o") == 0) {
      line.overrides.push_back(parseOverride(optionValue(args, i, "\"key: value\"")));
    } else if (arg == "-a") {
      line.notices.push_back("option -a has no effect here (the stand-in has no CORBA servants)");
    } else if (arg == "-d") {
      line.notices.push_back("option -d has no effect here (there is no master manager)");
    } else if (arg.compare(0, 2, "-p") == 0) {
      std::string port = optionValue(args, i, "a port number");
      line.notices.push_back("option -p " + port +
                             " has no effect here (the manager has no CORBA endpoint)");
    } else if (arg.compare(0, 2, "-l") == 0) {
      std::string module = optionValue(args, i, "a module name");
      line.notices.push_back("option -l " + module +
                             " has no effect here (components are linked in, not loaded)");
    } else if (!arg.empty() && arg[0] == '-') {
      throw ConfigError("unknown option " + arg);
    } else {
      throw ConfigError("unexpected argument \"" + arg + "\"");
    }
  }
  return line;
}

std::string usage(const std::string& program) {
  std::ostringstream os;
  os << "Usage: " << program << " [-f FILE] [-o \"KEY: VALUE\"]...\n"
     << "Runs RT components in the stand-in host for the OpenRTM-aist API.\n"
     << "\n"
     << "Options:\n"
     << "  -f FILE          configuration file (default: ./rtc.conf when present)\n"
     << "  -o \"KEY: VALUE\"  set a configuration key; repeatable; overrides the file\n"
     << "  -a, -d, -p PORT, -l MODULE\n"
     << "                   accepted as OpenRTM-aist does; no effect here\n"
     << "  -h, --help       show this help and exit\n"
     << "\n"
     << "Configuration keys:\n"
     << "  exec_cxt.periodic.rate: HZ       execution-context rate (default 1000)\n"
     << "  CATEGORY.TYPE.config_file: FILE  component configuration file, with\n"
     << "                                   conf.default.PARAM: VALUE lines and its own\n"
     << "                                   exec_cxt.periodic.rate\n"
     << "  CATEGORY.TYPE.conf.default.PARAM: VALUE\n"
     << "                                   a parameter of that component type\n"
     << "  manager.components.precreate: TYPE[, TYPE...]\n"
     << "  manager.components.preactivation: INSTANCE[, INSTANCE...]\n"
     << "  manager.standin.control_socket: PATH\n"
     << "                                   control socket (default ./INSTANCE.sock of the\n"
     << "                                   first component); rtm-standin-ctl talks to it\n"
     << "\n"
     << "SIGINT or SIGTERM shuts the components down and ends the process.\n";
  return os.str();
}

ManagerConfig loadManagerConfig(const CommandLine& line, const std::string& defaultFile) {
  ManagerConfig config;
  coil::Properties& p = config.properties;
  p.setProperty(kRateKey, "1000");
  p.setProperty("manager.instance_name", "manager");

  if (!line.configFile.empty()) {
    loadPropertiesFile(line.configFile, p);
  } else if (std::error_code ec; std::filesystem::exists(defaultFile, ec)) {
    loadPropertiesFile(defaultFile, p);
  }
  for (const auto& kv : line.overrides) {
    p.setProperty(kv.first, kv.second);
  }
  parseRate(p.getProperty(kRateKey), kRateKey);

  if (p.findNode("conf") != nullptr) {
    for (const std::string& key : p.findNode("conf")->propertyNames()) {
      config.warnings.push_back("\"conf." + key +
                                "\" applies to no component; write "
                                "\"CATEGORY.TYPE.conf." +
                                key + "\" for a component type");
    }
  }
  return config;
}

coil::Properties componentProperties(const coil::Properties& manager,
                                     const coil::Properties& profile, const std::string& instance,
                                     const coil::Properties& args) {
  coil::Properties props;
  props << profile;
  const std::string category = props.getProperty("category");
  const std::string type = props.getProperty("type_name");
  const std::string byType = category + "." + type;
  const std::string byInstance = category + "." + instance;

  for (const std::string& node : {byType, byInstance}) {
    const std::string file = manager.getProperty(node + ".config_file");
    if (!file.empty()) {
      loadPropertiesFile(file, props);
    }
  }
  copyNode(manager, byType, props);
  copyNode(manager, byInstance, props);
  props << args;
  props.setProperty("instance_name", instance);
  return props;
}

double componentRate(const coil::Properties& component, const coil::Properties& manager) {
  std::string own = component.getProperty(kRateKey);
  if (!own.empty()) {
    return parseRate(own, std::string(kRateKey) + " of " + component.getProperty("instance_name"));
  }
  std::string global = manager.getProperty(kRateKey);
  return global.empty() ? 1000.0 : parseRate(global, kRateKey);
}

std::pair<std::string, coil::Properties> parseComponentArgs(const std::string& args) {
  std::pair<std::string, coil::Properties> out;
  std::string::size_type q = args.find('?');
  out.first = args.substr(0, q);
  coil::eraseBothEnds(out.first);
  if (q == std::string::npos) {
    return out;
  }
  for (const std::string& param : coil::split(args.substr(q + 1), "&", true)) {
    std::string::size_type eq = param.find('=');
    if (eq == std::string::npos) {
      throw ConfigError("component argument \"" + param + "\" in \"" + args +
                        "\" is not key=value");
    }
    std::string key = param.substr(0, eq);
    std::string value = param.substr(eq + 1);
    coil::eraseBothEnds(key);
    coil::eraseBothEnds(value);
    if (key.empty()) {
      throw ConfigError("component argument \"" + param + "\" in \"" + args + "\" has no key");
    }
    out.second.setProperty(key, value);
  }
  return out;
}

}  // namespace rtm_standin
