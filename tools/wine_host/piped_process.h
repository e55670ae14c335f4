// A child process whose standard input and output are pipes to this one,
// read and written a line at a time; its standard error goes to a file.
#ifndef TOLVARINE_TOOLS_PIPED_PROCESS_H
#define TOLVARINE_TOOLS_PIPED_PROCESS_H

#include "child_process.h"

namespace tolvarine_tools {

class PipedProcess : public ChildProcess {
 public:
  // Starts argv[0] (a path) with `argv` and `environment` added to ours
  // ("NAME=VALUE"), standard error appended to `errorLog`. False with a
  // reason when it cannot be started.
  bool start(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
             const std::string& errorLog, std::string* error) {
    return ChildProcess::start(argv, "", Output{"", errorLog, -1, true, environment}, error);
  }
};

}  // namespace tolvarine_tools

#endif  // TOLVARINE_TOOLS_PIPED_PROCESS_H
