// A child process whose standard input and output are pipes to this one,
// read and written a line at a time; its standard error goes to a file.
#ifndef TOLVARINE_TOOLS_PIPED_PROCESS_H
#define TOLVARINE_TOOLS_PIPED_PROCESS_H

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace tolvarine_tools {

class PipedProcess {
 public:
  PipedProcess() = default;
  // A child still running is killed (SIGKILL) and reaped.
  ~PipedProcess();
  PipedProcess(const PipedProcess&) = delete;
  PipedProcess& operator=(const PipedProcess&) = delete;

  // Starts argv[0] (a path) with `argv` and `environment` added to ours
  // ("NAME=VALUE"), standard error appended to `errorLog`. False with a
  // reason when it cannot be started.
  bool start(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
             const std::string& errorLog, std::string* error);

  // Waits up to `timeout` for the next line of the child's output (without
  // its line break). False when none came in time or the output has ended.
  bool readLine(std::string& line, std::chrono::milliseconds timeout);
  // Everything the child wrote so far, line by line, in order.
  const std::vector<std::string>& linesRead() const { return lines_; }
  // Writes `line` and a line break to the child's input.
  bool writeLine(const std::string& line);
  // Ends the child's input.
  void closeInput();

  // Waits up to `timeout` for the child to end; true once it has.
  bool waitFor(std::chrono::milliseconds timeout);
  // SIGKILL and reap (nothing once it has ended).
  void kill();
  // The exit status once it ended by exiting; -1 otherwise.
  int exitCode() const;

 private:
  pid_t pid_ = -1;
  bool ended_ = false;
  int status_ = 0;
  int input_ = -1;
  int output_ = -1;
  std::string pending_;
  std::vector<std::string> lines_;
};

}  // namespace tolvarine_tools

#endif  // TOLVARINE_TOOLS_PIPED_PROCESS_H
