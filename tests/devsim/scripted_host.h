#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace pelorus::devsim::testing {

// What the host does. By default it behaves like a correct programming tool: 0x03 on a
// "CODE" line, the address command on a "480" line, the read-back command on a "done" line,
// and the next address after a dump that shows the one it wrote. Lines end at CR, LF and
// zero bytes are dropped, and partial lines carry over between reads.
struct HostScript {
  std::uint64_t address = 0x001A2B3C4D5E;
  int successes_wanted = 1;  // return after this many (or at a hang-up)
  std::string stop_text;     // return once the stream holds this (when not empty)
  std::chrono::milliseconds deadline{15000};
  std::chrono::milliseconds first_read_pause{0};  // before the first read (back-pressure)
  std::string before_anything;                    // bytes sent right after opening
  // The address command for an address; default WriteCommand.
  std::function<std::string(std::uint64_t)> write_command;
};

struct HostRun {
  std::string stream;  // every byte received, in order
  std::vector<std::string> lines;
  int successes = 0;
  int mismatches = 0;  // dumps that showed another address
  bool hung_up = false;
  bool timed_out = false;

  int CountLinesWith(const std::string& text) const {
    return static_cast<int>(std::count_if(lines.begin(), lines.end(), [&text](const auto& line) {
      return line.find(text) != std::string::npos;
    }));
  }
};

// A folder watched for names that appear in it and go, the way a host waits for its serial
// adapter to come back. Every change from construction on is kept, in order.
class FolderWatch {
 public:
  enum class Change { kNone, kCreated, kDeleted };

  explicit FolderWatch(const std::string& folder);
  ~FolderWatch();
  FolderWatch(const FolderWatch&) = delete;
  FolderWatch& operator=(const FolderWatch&) = delete;

  // The next change to `name` after those returned so far; kNone when the folder saw no
  // change for five seconds.
  Change Next(const std::string& name);

 private:
  int fd_ = -1;
  std::vector<std::pair<std::string, Change>> pending_;
};

// Opens `path` raw and plays `script` against the device behind it.
HostRun RunHost(const std::string& path, const HostScript& script);

// "macprog2 XX-XX-XX-XX-XX-XX\n".
std::string WriteCommand(std::uint64_t address);

}  // namespace pelorus::devsim::testing
