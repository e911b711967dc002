#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>

#include "fake_server.h"

extern char** environ;

namespace pelorus::testing {

// The real console server for tests: Debian's ser2net, run in the foreground with a
// configuration of the test's own that serves one device on a free loopback port, either raw
// (tcp) or as Telnet with serial control (telnet(rfc2217)). Needs no gtest, so that the
// window's tests use it too.
class ConsoleServer {
 public:
  enum class Accepter { kTcp, kTelnet };

  ConsoleServer() {
    char pattern[] = "/tmp/pelorus-ser2net-XXXXXX";
    dir_ = mkdtemp(pattern) != nullptr ? pattern : "/nonexistent";
  }
  ~ConsoleServer() {
    Stop();
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  ConsoleServer(const ConsoleServer&) = delete;
  ConsoleServer& operator=(const ConsoleServer&) = delete;

  // Starts ser2net serving device at 9600 bits/s, 8N1, and waits until it listens. False with
  // Problem() telling why (ser2net missing, its own words).
  bool Start(Accepter accepter, const std::string& device) {
    Stop();
    if (program_.empty()) {
      problem_ = "ser2net is not installed (Debian package ser2net)";
      return false;
    }
    // Another program may take the port between our look and ser2net's bind: try again.
    for (int attempt = 0; attempt < 3; ++attempt) {
      close(BoundLoopback(&port_));
      WriteConfiguration(accepter, device);
      if (Spawn() && WaitListening()) {
        scheme_ = accepter == Accepter::kTcp ? "tcp" : "telnet";
        return true;
      }
      Stop();
    }
    return false;
  }

  // Starts ser2net again as it was, on the same port: a console server restarted in place.
  bool Restart() {
    Stop();
    return Spawn() && WaitListening();
  }

  // Kills ser2net (its connections close as they would if the server went off).
  void Stop() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
      pid_ = -1;
    }
  }

  // "tcp://127.0.0.1:<port>" or "telnet://127.0.0.1:<port>".
  std::string Url() const { return scheme_ + "://127.0.0.1:" + std::to_string(port_); }
  const std::string& Problem() const { return problem_; }

 private:
  // Where Debian puts it, also for users whose PATH lacks the sbin folders.
  static std::string Find() {
    for (const char* candidate :
         {"/usr/sbin/ser2net", "/usr/local/sbin/ser2net", "/usr/bin/ser2net"}) {
      if (access(candidate, X_OK) == 0) {
        return candidate;
      }
    }
    return "";
  }

  void WriteConfiguration(Accepter accepter, const std::string& device) {
    std::ofstream yaml(dir_ + "/ser2net.yaml", std::ios::trunc);
    yaml << "%YAML 1.1\n---\nconnection: &pelorus\n  accepter: "
         << (accepter == Accepter::kTcp ? "tcp" : "telnet(rfc2217),tcp") << ",127.0.0.1," << port_
         << "\n  connector: serialdev," << device << ",9600n81,local\n";
  }

  bool Spawn() {
    const std::string config = dir_ + "/ser2net.yaml";
    const std::string log = dir_ + "/ser2net.log";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    // -u: no UUCP lock files, which an unprivileged test could not write anyway.
    const char* argv[] = {program_.c_str(), "-n", "-d", "-u", "-c", config.c_str(), nullptr};
    const int failed = posix_spawn(&pid_, program_.c_str(), &actions, nullptr,
                                   const_cast<char* const*>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0) {
      pid_ = -1;
      problem_ = "cannot start " + program_;
    }
    return failed == 0;
  }

  // Watches the kernel's table of listening sockets rather than connecting: a probe
  // connection would make ser2net open the device, which a test's device may count.
  bool WaitListening() {
    const auto words = [this] {
      std::ifstream log(dir_ + "/ser2net.log");
      return std::string(std::istreambuf_iterator<char>(log), {});
    };
    char local[32];
    std::snprintf(local, sizeof local, "0100007F:%04X", static_cast<unsigned>(port_));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
      std::ifstream table("/proc/net/tcp");
      for (std::string row; std::getline(table, row);) {
        std::istringstream fields(row);
        std::string slot, address, remote, state;
        fields >> slot >> address >> remote >> state;
        if (address == local && state == "0A") {
          return true;
        }
      }
      if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
        pid_ = -1;
        problem_ = "ser2net ended at once: " + words();
        return false;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    problem_ =
        "ser2net did not listen on port " + std::to_string(port_) + " within 10 s: " + words();
    return false;
  }

  const std::string program_ = Find();
  std::string dir_;
  std::string scheme_;
  std::string problem_;
  pid_t pid_ = -1;
  int port_ = 0;
};

}  // namespace pelorus::testing
