#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace pelorus::testing {

// A running `pelorus-pool serve LOCATION ARGS...` (--listen 127.0.0.1:0 unless ARGS say): the port
// it printed on its first line, and what it said on stderr once stopped. Stopped by SIGTERM when
// the object goes.
class ServeProcess {
 public:
  explicit ServeProcess(const std::string& location, const std::vector<std::string>& args = {}) {
    int out[2];
    if (pipe(out) != 0) {
      return;
    }
    err_path_ =
        "/tmp/pelorus-serve-err-" + std::to_string(getpid()) + "-" + std::to_string(++count_);
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], 1);
      std::freopen(err_path_.c_str(), "w", stderr);
      close(out[0]);
      std::vector<std::string> all = {PELORUS_POOL_PATH, "serve", location};
      all.insert(all.end(), args.begin(), args.end());
      if (std::find(args.begin(), args.end(), "--listen") == args.end()) {
        all.insert(all.end(), {"--listen", "127.0.0.1:0"});
      }
      std::vector<char*> argv;
      for (std::string& arg : all) {
        argv.push_back(arg.data());
      }
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(out[1]);
    // The first line, "serving pool P of W at http://127.0.0.1:PORT/", or nothing on failure.
    std::string line;
    char c = 0;
    while (read(out[0], &c, 1) == 1 && c != '\n') {
      line += c;
    }
    close(out[0]);
    first_line_ = line;
    const auto colon = line.rfind(':');
    if (colon != std::string::npos) {
      port_ = std::atoi(line.c_str() + colon + 1);
    }
  }
  ~ServeProcess() { Stop(); }
  ServeProcess(const ServeProcess&) = delete;
  ServeProcess& operator=(const ServeProcess&) = delete;

  int port() const { return port_; }
  pid_t pid() const { return pid_; }
  const std::string& first_line() const { return first_line_; }
  // Stops it; its exit status.
  int Stop() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, &status_, 0);
      pid_ = -1;
    }
    return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
  }
  std::string err() const {
    std::string text;
    if (FILE* file = std::fopen(err_path_.c_str(), "r")) {
      for (int c; (c = std::fgetc(file)) != EOF;) {
        text += static_cast<char>(c);
      }
      std::fclose(file);
    }
    return text;
  }

 private:
  static inline int count_ = 0;
  pid_t pid_ = -1;
  int port_ = 0;
  int status_ = 0;
  std::string first_line_;
  std::string err_path_;
};

}  // namespace pelorus::testing
