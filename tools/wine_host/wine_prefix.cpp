#include "wine_prefix.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <utility>

#include "child_process.h"
#include "temp_dir.h"

namespace tolvarine_tools {

WinePrefix::WinePrefix(std::string runner, std::string prefix, std::vector<std::string> dllDirs)
    : runner_(std::move(runner)), prefix_(std::move(prefix)), dllDirs_(std::move(dllDirs)) {}

WinePrefix::WinePrefix(std::string runner, const std::map<std::string, std::string>& settings)
    : runner_(std::move(runner)) {
  const auto at = [&settings](const char* key) {
    const auto it = settings.find(key);
    return it != settings.end() ? it->second : std::string();
  };
  prefix_ = at("prefix");
  std::istringstream dirs(at("dll_dirs"));
  for (std::string dir; std::getline(dirs, dir, ':');) {
    if (!dir.empty()) {
      dllDirs_.push_back(dir);
    }
  }
}

std::map<std::string, std::string> readSettings(const std::string& path) {
  std::map<std::string, std::string> settings;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    const auto equals = line.find('=');
    if (equals != std::string::npos) {
      settings[line.substr(0, equals)] = line.substr(equals + 1);
    }
  }
  return settings;
}

bool WinePrefix::prepare(const std::string& program, std::string& reason, bool& skipped) const {
  // Making the prefix takes tens of seconds; ten minutes means it is stuck.
  const TempDir dir("tolvarine-wine");
  ChildProcess init;
  skipped = false;
  if (!init.start({"/bin/bash", runner_, "--prefix", prefix_, "--init", program}, "",
                  dir.file("init.log"), &reason)) {
    return false;
  }
  const bool ended = init.waitFor(std::chrono::minutes(10));
  reason = ended ? dir.read("init.log") : "wine-run.sh --init did not end within 10 minutes";
  while (!reason.empty() && reason.back() == '\n') {
    reason.pop_back();
  }
  skipped = init.exitCode() == 77;
  return init.exitCode() == 0;
}

std::string WinePrefix::comLink(int number) const {
  return prefix_ + "/dosdevices/com" + std::to_string(number);
}

std::string WinePrefix::mapComPort(int number, const std::string& device,
                                   std::string* error) const {
  const std::string link = comLink(number);
  ::unlink(link.c_str());
  if (::symlink(device.c_str(), link.c_str()) != 0) {
    if (error != nullptr) {
      *error = "cannot link " + link + " to " + device + ": " + std::strerror(errno);
    }
    return "";
  }
  return "COM" + std::to_string(number);
}

void WinePrefix::unmapComPort(int number) const {
  ::unlink(comLink(number).c_str());
}

std::vector<std::string> WinePrefix::command(const std::string& program,
                                             const std::vector<std::string>& args,
                                             const std::string& display) const {
  std::vector<std::string> argv{"/bin/bash", runner_, "--prefix", prefix_};
  for (const std::string& dir : dllDirs_) {
    argv.insert(argv.end(), {"--path", dir});
  }
  if (!display.empty()) {
    argv.insert(argv.end(), {"--display", display});
  }
  argv.push_back(program);
  argv.insert(argv.end(), args.begin(), args.end());
  return argv;
}

}  // namespace tolvarine_tools
