#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

namespace pelorus::campaign {

// One program the campaign runs: started with extra environment, its standard output on a
// pipe the campaign reads (or into a file), standard error into a file, optionally its
// standard input on a pipe. The process is waited for through a pidfd, which becomes readable
// when it ends, so the campaign's one poll loop hears of every ending.
class ChildProcess {
 public:
  struct Spec {
    std::vector<std::string> argv;
    std::map<std::string, std::string> env;  // set on top of the campaign's own
    std::string stdout_file;                 // empty: a pipe, read with ReadLines
    std::string stderr_file;                 // empty: /dev/null
    bool stdin_pipe = false;
  };

  ChildProcess() = default;
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // False with *error when the program cannot be started.
  bool Start(const Spec& spec, std::string* error);
  bool Running() const { return pid_ > 0; }
  pid_t Pid() const { return pid_; }
  int OutputFd() const { return out_fd_; }
  int ExitFd() const { return pidfd_; }

  void Send(const std::string& line);
  // Ends the program's standard input (a pipe): it reads its end.
  void CloseInput();
  void Signal(int sig);
  // Complete lines that arrived on the output pipe since the last call; once the pipe has
  // ended, OutputFd is -1.
  std::vector<std::string> ReadLines();
  // Reaps the process once ExitFd is readable; returns its status (128 + signal when killed).
  int Reap();
  // Waits up to `ms` for the end, then SIGKILLs and reaps; returns the status.
  int Stop(int sig, int ms);

 private:
  void CloseAll();

  pid_t pid_ = -1;
  int pidfd_ = -1;
  int out_fd_ = -1;
  int in_fd_ = -1;
  std::string partial_;
};

}  // namespace pelorus::campaign
