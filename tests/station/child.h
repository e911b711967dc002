#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

extern char** environ;

namespace pelorus::testing {

// A program run as a child: its standard output read line by line through a pipe, its
// standard error kept in a file, its end waited for through a process descriptor.
class Child {
 public:
  Child(const std::vector<std::string>& args, const std::string& err_path) : err_path_(err_path) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
      return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err_path.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char*> argv;
    for (const std::string& arg : args) {
      argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
      pid_ = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    out_ = fdopen(out[0], "r");
    pidfd_ = pid_ > 0 ? static_cast<int>(syscall(SYS_pidfd_open, pid_, 0)) : -1;
  }
  ~Child() {
    if (pid_ > 0 && !exited_) {
      kill(pid_, SIGKILL);
      Wait(60000);
    }
    if (out_ != nullptr) {
      fclose(out_);
    }
    if (pidfd_ >= 0) {
      close(pidfd_);
    }
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  bool ok() const { return pid_ > 0 && out_ != nullptr && pidfd_ >= 0; }
  void Signal(int sig) { kill(pid_, sig); }

  // The next line of standard output without its newline; false at its end.
  bool ReadLine(std::string* line) {
    char buffer[8192];
    if (out_ == nullptr || fgets(buffer, sizeof buffer, out_) == nullptr) {
      return false;
    }
    *line = buffer;
    if (!line->empty() && line->back() == '\n') {
      line->pop_back();
    }
    return true;
  }

  // The exit status once the child has ended (within timeout_ms, a guard against a hang that
  // no passing run comes near); -1 if it did not end or ended by a signal.
  int Wait(int timeout_ms) {
    pollfd pfd{pidfd_, POLLIN, 0};
    if (poll(&pfd, 1, timeout_ms) != 1) {
      return -1;
    }
    int status = 0;
    waitpid(pid_, &status, 0);
    exited_ = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  std::string Err() const {
    std::string text;
    if (FILE* file = fopen(err_path_.c_str(), "r")) {
      char buffer[4096];
      for (std::size_t n; (n = fread(buffer, 1, sizeof buffer, file)) > 0;) {
        text.append(buffer, n);
      }
      fclose(file);
    }
    return text;
  }

 private:
  std::string err_path_;
  pid_t pid_ = -1;
  FILE* out_ = nullptr;
  int pidfd_ = -1;
  bool exited_ = false;
};

}  // namespace pelorus::testing
