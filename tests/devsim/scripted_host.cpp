#include "scripted_host.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/inotify.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include "tools/devsim/mac48.h"

namespace pelorus::devsim::testing {
namespace {

void Send(int fd, const std::string& bytes) {
  EXPECT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

}  // namespace

std::string WriteCommand(std::uint64_t address) {
  return "macprog2 " + FormatMac(address, '-') + "\n";
}

FolderWatch::FolderWatch(const std::string& folder)
    : fd_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
  if (fd_ < 0 || ::inotify_add_watch(fd_, folder.c_str(),
                                     IN_CREATE | IN_DELETE | IN_MOVED_TO | IN_MOVED_FROM) < 0) {
    ADD_FAILURE() << "watch " << folder << ": " << std::strerror(errno);
  }
}

FolderWatch::~FolderWatch() {
  ::close(fd_);
}

FolderWatch::Change FolderWatch::Next(const std::string& name) {
  for (;;) {
    const auto it = std::find_if(pending_.begin(), pending_.end(),
                                 [&name](const auto& change) { return change.first == name; });
    if (it != pending_.end()) {
      const Change change = it->second;
      pending_.erase(it);
      return change;
    }
    pollfd pfd{fd_, POLLIN, 0};
    alignas(inotify_event) char buffer[4096];
    const ssize_t n = ::poll(&pfd, 1, 5000) == 1 ? ::read(fd_, buffer, sizeof(buffer)) : 0;
    if (n <= 0) {
      return Change::kNone;
    }
    for (ssize_t at = 0; at < n;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      if (event->len > 0) {
        pending_.emplace_back(event->name, (event->mask & (IN_CREATE | IN_MOVED_TO)) != 0
                                               ? Change::kCreated
                                               : Change::kDeleted);
      }
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
  }
}

HostRun RunHost(const std::string& path, const HostScript& script) {
  HostRun run;
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  termios tio{};
  if (fd < 0 || ::tcgetattr(fd, &tio) != 0) {
    ADD_FAILURE() << "open " << path << ": " << std::strerror(errno);
    ::close(fd);
    return run;
  }
  ::cfmakeraw(&tio);
  tio.c_cflag |= CLOCAL | CREAD;
  ::tcsetattr(fd, TCSANOW, &tio);
  if (!script.before_anything.empty()) {
    Send(fd, script.before_anything);
  }
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
    for (ssize_t i = 0; i < n; ++i) {
      const char c = buffer[i];
      run.stream += c;
      if (c != '\r' && c != '\n' && c != '\0') {
        line += c;
      } else if (c == '\r') {
        run.lines.push_back(line);
        if (line.find("CODE") != std::string::npos) {
          Send(fd, "\x03");
        } else if (line.find("480") != std::string::npos) {
          Send(fd, script.write_command ? script.write_command(address) : WriteCommand(address));
        } else if (line.find("done") != std::string::npos) {
          Send(fd, "d -b -p 0x1fd0000c 6\n");
        } else if (line.find(FormatMac(address, ' ')) != std::string::npos) {
          ++run.successes;
          address = NextMac(address);
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
