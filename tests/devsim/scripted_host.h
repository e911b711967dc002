#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "tools/devsim/sim_address.h"

namespace pelorus::devsim::testing {

// What the host does. By default it behaves like a correct programming tool: 0x03 on a
// "CODE" line, the address command on a "480" line, the read-back command on a "done" line,
// and the next address after a dump that shows the one it wrote. Lines end at CR, LF and
// zero bytes are dropped, and partial lines carry over between reads.
struct HostScript {
  explicit HostScript(int successes = 1,
                      std::chrono::milliseconds deadline = std::chrono::seconds(15))
      : successes_wanted(successes), deadline(deadline) {}

  int successes_wanted;  // return after this many (or at a hang-up)
  std::chrono::milliseconds deadline;
  std::uint64_t address = 0x001A2B3C4D5E;
  std::string stop_text;                          // return once the stream holds this, if set
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

// "macprog2 XX-XX-XX-XX-XX-XX\n".
inline std::string WriteCommand(std::uint64_t address) {
  return "macprog2 " + FormatAddress(address, '-') + "\n";
}

// Opens `path` raw and plays `script` against the device behind it.
inline HostRun RunHost(const std::string& path, const HostScript& script) {
  HostRun run;
  // The device's side is raw from the start; the host leaves the line as it finds it.
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    ADD_FAILURE() << "open " << path << ": " << std::strerror(errno);
    return run;
  }
  const auto send = [fd](const std::string& bytes) {
    EXPECT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  };
  send(script.before_anything);
  std::this_thread::sleep_for(script.first_read_pause);

  const auto end = std::chrono::steady_clock::now() + script.deadline;
  std::uint64_t address = script.address;
  std::string line;
  while (script.stop_text.empty() ? run.successes < script.successes_wanted
                                  : run.stream.find(script.stop_text) == std::string::npos) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      run.timed_out = true;
      break;
    }
    pollfd pfd{fd, POLLIN, 0};
    if (::poll(&pfd, 1, static_cast<int>(left.count())) <= 0) {
      continue;
    }
    char buffer[4096];
    const ssize_t n = ::read(fd, buffer, sizeof(buffer));
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
      continue;
    }
    if (n <= 0) {
      run.hung_up = true;
      break;
    }
    run.stream.append(buffer, static_cast<std::size_t>(n));
    for (const char c : std::string(buffer, static_cast<std::size_t>(n))) {
      if (c != '\r' && c != '\n' && c != '\0') {
        line += c;
      } else if (c == '\r') {
        run.lines.push_back(line);
        if (line.find("CODE") != std::string::npos) {
          send("\x03");
        } else if (line.find("480") != std::string::npos) {
          send(script.write_command ? script.write_command(address) : WriteCommand(address));
        } else if (line.find("done") != std::string::npos) {
          send("d -b -p 0x1fd0000c 6\n");
        } else if (line.find(FormatAddress(address, ' ')) != std::string::npos) {
          ++run.successes;
          address = NextAddress(address);
        } else if (line.rfind("1fd0000c: ", 0) == 0) {
          ++run.mismatches;
        }
        line.clear();
      }
    }
  }
  ::close(fd);
  return run;
}

}  // namespace pelorus::devsim::testing
