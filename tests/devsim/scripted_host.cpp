#include "scripted_host.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <thread>

namespace pelorus::devsim::testing {
namespace {

std::string Octets(std::uint64_t address, char separator) {
  char buf[32];
  std::snprintf(buf, sizeof(buf), "%02X%c%02X%c%02X%c%02X%c%02X%c%02X",
                static_cast<unsigned>((address >> 40) & 0xFF), separator,
                static_cast<unsigned>((address >> 32) & 0xFF), separator,
                static_cast<unsigned>((address >> 24) & 0xFF), separator,
                static_cast<unsigned>((address >> 16) & 0xFF), separator,
                static_cast<unsigned>((address >> 8) & 0xFF), separator,
                static_cast<unsigned>(address & 0xFF));
  return buf;
}

bool Send(int fd, const std::string& bytes) {
  return ::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
}

}  // namespace

std::string WriteCommand(std::uint64_t address) {
  return "macprog2 " + Octets(address, '-') + "\n";
}

HostRun RunHost(const std::string& path, const HostScript& script) {
  HostRun run;
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  termios tio{};
  if (fd < 0 || ::tcgetattr(fd, &tio) != 0) {
    run.error = "open " + path + ": " + std::strerror(errno);
    if (fd >= 0) {
      ::close(fd);
    }
    return run;
  }
  ::cfmakeraw(&tio);
  tio.c_cflag |= CLOCAL | CREAD;
  ::tcsetattr(fd, TCSANOW, &tio);
  if (!script.before_anything.empty()) {
    Send(fd, script.before_anything);
  }
  if (script.first_read_pause.count() > 0) {
    std::this_thread::sleep_for(script.first_read_pause);
  }

  const auto end = std::chrono::steady_clock::now() + script.deadline;
  std::uint64_t address = script.address;
  int code_lines = 0;
  std::string line;
  const auto done = [&] {
    if (!script.stop_text.empty()) {
      return run.stream.find(script.stop_text) != std::string::npos;
    }
    return run.successes >= script.successes_wanted && !script.until_hangup;
  };
  while (!done()) {
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
    for (ssize_t i = 0; i < n; ++i) {
      const char c = buffer[i];
      run.stream += c;
      if (c == '\n' || c == '\0') {
        continue;
      }
      if (c != '\r') {
        line += c;
        continue;
      }
      run.lines.push_back(line);
      if (line.find("CODE") != std::string::npos) {
        if (++code_lines > script.ignore_code_lines) {
          Send(fd, "\x03");
        }
      } else if (line.find("480") != std::string::npos) {
        run.written.push_back(address);
        Send(fd, script.write_command ? script.write_command(address) : WriteCommand(address));
      } else if (line.find("done") != std::string::npos) {
        Send(fd, "d -b -p 0x1fd0000c 6\n");
      } else if (line.find(Octets(address, ' ')) != std::string::npos) {
        ++run.successes;
        if (script.step_address) {
          address = (address + 1) & 0xFFFFFFFFFFFFULL;
        }
      } else if (line.rfind("1fd0000c: ", 0) == 0) {
        ++run.mismatches;
      }
      line.clear();
    }
  }
  ::close(fd);
  return run;
}

}  // namespace pelorus::devsim::testing
