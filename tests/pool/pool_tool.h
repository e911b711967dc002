#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace pelorus::testing {

// What a run of a program left: its exit status and what it printed where.
struct Result {
  int status = -1;
  std::string out;
  std::string err;
};

inline std::string ReadFile(const std::string& path) {
  std::stringstream text;
  text << std::ifstream(path, std::ios::binary).rdbuf();
  return text.str();
}

// Runs a program (pelorus-pool unless named) as a script would, through the shell: its exit
// status and what it printed where.
inline Result Tool(const std::vector<std::string>& args,
                   const std::string& program = PELORUS_POOL_PATH) {
  const std::string out = ::testing::TempDir() + "pool-stdout-" + std::to_string(getpid());
  std::string command = "'" + program + "'";
  for (const std::string& arg : args) {
    command += " '" + std::regex_replace(arg, std::regex("'"), "'\\''") + "'";
  }
  const int status = std::system((command + " >" + out + " 2>" + out + ".err").c_str());
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadFile(out), ReadFile(out + ".err")};
}

}  // namespace pelorus::testing
