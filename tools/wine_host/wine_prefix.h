// A private Wine prefix in which the Windows build's programs run, with the
// simulated board's pseudo-terminal mapped into it as a COM port. Every
// program goes through scripts/wine-run.sh, which makes the prefix on first
// use and keeps the runs unattended.
#ifndef TOLVARINE_TOOLS_WINE_PREFIX_H
#define TOLVARINE_TOOLS_WINE_PREFIX_H

#include <map>
#include <string>
#include <vector>

namespace tolvarine_tools {

class WinePrefix {
 public:
  // `runner`: scripts/wine-run.sh; `prefix`: the prefix's folder; `dllDirs`:
  // where the programs find their DLLs.
  WinePrefix(std::string runner, std::string prefix, std::vector<std::string> dllDirs);
  // The prefix a Windows build's settings name ("prefix", "dll_dirs"
  // separated by ':'; see readSettings).
  WinePrefix(std::string runner, const std::map<std::string, std::string>& settings);

  // Makes the prefix if it does not exist yet (tens of seconds the first
  // time) and checks that this machine can run `program`. False with the
  // reason; `skipped` tells that Wine (or the loader for the program's
  // kind) is missing here rather than broken.
  bool prepare(const std::string& program, std::string& reason, bool& skipped) const;

  // Makes COM`number` lead to `device` (a pseudo-terminal), replacing what
  // the prefix had there. Returns the port's name, "COM<number>", or an
  // empty string (with the reason) on failure.
  std::string mapComPort(int number, const std::string& device, std::string* error) const;
  // Removes COM`number` from the prefix, so that opening it fails.
  void unmapComPort(int number) const;

  // The command line that runs `program` with `args` in this prefix; with a
  // `display`, on that X display, otherwise with none.
  std::vector<std::string> command(const std::string& program, const std::vector<std::string>& args,
                                   const std::string& display = "") const;

  const std::string& path() const { return prefix_; }
  const std::vector<std::string>& dllDirs() const { return dllDirs_; }

 private:
  std::string comLink(int number) const;

  std::string runner_;
  std::string prefix_;
  std::vector<std::string> dllDirs_;
};

// The NAME=VALUE lines of a Windows build's settings file
// (windows-test-config.txt); empty when there is none.
std::map<std::string, std::string> readSettings(const std::string& path);

}  // namespace tolvarine_tools

#endif  // TOLVARINE_TOOLS_WINE_PREFIX_H
