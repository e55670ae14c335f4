// A program run as a child process in its own process group, with its
// output sent to a log file or read a line at a time through a pipe; killed
// and reaped when the owner goes.
#ifndef TOLVARINE_TOOLS_CHILD_PROCESS_H
#define TOLVARINE_TOOLS_CHILD_PROCESS_H

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace tolvarine_tools {

class ChildProcess {
 public:
  ChildProcess() = default;
  // A child still running is killed (SIGKILL) and reaped.
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Starts argv[0] (a path) with `argv`, in `workDir` (empty: ours), standard
  // input from /dev/null, standard output and error appended to `logFile`
  // (empty: inherited). The child gets SIGTERM should this process die
  // without cleaning up. False with a reason when it cannot be started.
  bool start(const std::vector<std::string>& argv, const std::string& workDir,
             const std::string& logFile, std::string* error);
  // Where standard output and error go: files appended to (empty: inherited),
  // or, for standard error, a descriptor of this process (errFd >= 0). With
  // `pipes`, standard input and output are pipes to this process instead
  // (see readLine). `environment` ("NAME=VALUE") is added to ours.
  struct Output {
    std::string outFile;
    std::string errFile;
    int errFd = -1;
    bool pipes = false;
    std::vector<std::string> environment = {};
  };
  bool start(const std::vector<std::string>& argv, const std::string& workDir, const Output& output,
             std::string* error);
  // With pipes for standard input and output (see readLine), `environment`
  // added to ours, standard error appended to `errorLog`.
  bool startPiped(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
                  const std::string& errorLog, std::string* error) {
    return start(argv, "", Output{"", errorLog, -1, true, environment}, error);
  }

  pid_t pid() const { return pid_; }
  // True until the child has ended and been reaped.
  bool running();
  // Waits up to `timeout` for the child to end; true once it has.
  bool waitFor(std::chrono::milliseconds timeout);
  // Sends a signal to the child (nothing once it has been reaped).
  void signal(int signal);
  // SIGTERM, up to `grace` for it to end, then SIGKILL; always reaps.
  void stop(std::chrono::milliseconds grace);
  // SIGKILL and reap (nothing once it has ended).
  void kill();

  // With pipes: waits up to `timeout` for the next line of the child's
  // output (without its line break). False when none came in time or the
  // output has ended.
  bool readLine(std::string& line, std::chrono::milliseconds timeout);
  // Everything read so far, line by line, in order.
  const std::vector<std::string>& linesRead() const { return lines_; }
  // Writes `line` and a line break to the child's input.
  bool writeLine(const std::string& line);
  // Ends the child's input.
  void closeInput();

  // After it ended: "exited with status N" or "was killed by signal N".
  std::string describeEnd() const;
  bool exitedCleanly() const;  // ended with status 0
  // The exit status once it ended by exiting; -1 otherwise.
  int exitCode() const;
  // As a shell reports it: the exit status, or 128 + the signal that ended
  // it; -1 while it runs.
  int shellStatus() const;

 private:
  void reaped(int status);

  pid_t pid_ = -1;
  bool ended_ = false;
  int status_ = 0;
  int input_ = -1;
  int output_ = -1;
  std::string pending_;
  std::vector<std::string> lines_;
};

// A program by name: the first executable file of that name on $PATH, or the
// name itself when it contains a slash. Empty when there is none.
std::string findProgram(const std::string& name);

}  // namespace tolvarine_tools

#endif  // TOLVARINE_TOOLS_CHILD_PROCESS_H
