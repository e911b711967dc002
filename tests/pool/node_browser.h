#pragma once

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace pelorus::testing {

// A Node script of ours that drives headless Chromium (Debian's /usr/bin/chromium) through
// puppeteer-core, which npm puts in dir/node_modules the first time; no browser is downloaded.
// The script reads lines on its standard input and says lines on its standard output.
class NodeBrowser {
 public:
  // Whether this machine has what it takes (setup.sh installs both).
  static bool Available() {
    return std::filesystem::exists("/usr/bin/chromium") &&
           std::system("command -v node >/dev/null 2>&1") == 0;
  }

  NodeBrowser(const std::string& dir, const std::string& script,
              const std::vector<std::string>& args) {
    if (!std::filesystem::exists(dir + "/node_modules/puppeteer-core")) {
      std::filesystem::create_directories(dir);
      if (std::system(("cd '" + dir +
                       "' && npm install --no-audit --no-fund --loglevel=error "
                       "puppeteer-core@24 >npm.log 2>&1")
                          .c_str()) != 0) {
        error_ = "npm install puppeteer-core failed: see " + dir + "/npm.log";
        return;
      }
    }
    int to_node[2];
    int from_node[2];
    if (pipe(to_node) != 0 || pipe(from_node) != 0) {
      error_ = "no pipe";
      return;
    }
    // A script that ended is a failed answer, not a signal to whoever writes to it.
    std::signal(SIGPIPE, SIG_IGN);
    node_ = fork();
    if (node_ == 0) {
      dup2(to_node[0], 0);
      dup2(from_node[1], 1);
      close(to_node[1]);
      close(from_node[0]);
      setenv("NODE_PATH", (dir + "/node_modules").c_str(), 1);
      std::vector<char*> argv = {const_cast<char*>("node"), const_cast<char*>(script.c_str())};
      for (const std::string& arg : args) {
        argv.push_back(const_cast<char*>(arg.c_str()));
      }
      argv.push_back(nullptr);
      execvp("node", argv.data());
      _exit(127);
    }
    close(to_node[0]);
    close(from_node[1]);
    to_node_ = to_node[1];
    from_node_ = from_node[0];
  }
  ~NodeBrowser() { Finish(); }
  NodeBrowser(const NodeBrowser&) = delete;
  NodeBrowser& operator=(const NodeBrowser&) = delete;

  // Empty once the script runs.
  const std::string& error() const { return error_; }

  bool Tell(const std::string& line) {
    const std::string text = line + "\n";
    return to_node_ >= 0 &&
           write(to_node_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  }

  // The script's next line, as soon as it is said; false when it said none within wait.
  bool Line(std::string* line, std::chrono::milliseconds wait) {
    const auto until = std::chrono::steady_clock::now() + wait;
    for (;;) {
      const auto end = said_.find('\n');
      if (end != std::string::npos) {
        *line = said_.substr(0, end);
        said_.erase(0, end + 1);
        return true;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          until - std::chrono::steady_clock::now());
      pollfd from = {from_node_, POLLIN, 0};
      char buffer[4096];
      if (from_node_ < 0 || left.count() <= 0 ||
          poll(&from, 1, static_cast<int>(left.count())) <= 0) {
        return false;
      }
      const ssize_t got = read(from_node_, buffer, sizeof buffer);
      if (got <= 0) {
        return false;
      }
      said_.append(buffer, static_cast<std::size_t>(got));
    }
  }

  // Closes the script's input and waits for it to end: its exit status, or -1.
  int Finish() {
    if (to_node_ >= 0) {
      close(to_node_);
      close(from_node_);
      to_node_ = from_node_ = -1;
    }
    if (node_ > 0) {
      int status = 0;
      waitpid(node_, &status, 0);
      node_ = -1;
      exit_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    return exit_;
  }

 private:
  pid_t node_ = -1;
  int to_node_ = -1;
  int from_node_ = -1;
  int exit_ = -1;
  std::string said_;
  std::string error_;
};

}  // namespace pelorus::testing
