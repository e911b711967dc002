#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

namespace pelorus::testing {

// Writes all of bytes to a connected socket; false when it fails or stalls for ten seconds.
inline bool SendAll(int fd, const std::string& bytes) {
  for (std::size_t done = 0; done < bytes.size();) {
    const ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0) {
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// Reads from fd until done(everything read so far) holds, the peer closes or ten seconds pass
// without a byte; returns what was read.
inline std::string ReadUntil(int fd, const std::function<bool(const std::string&)>& done) {
  std::string got;
  char buffer[4096];
  pollfd in{fd, POLLIN, 0};
  while (!done(got) && poll(&in, 1, 10000) == 1) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) {
      break;
    }
    got.append(buffer, static_cast<std::size_t>(n));
  }
  return got;
}

inline bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// A console server played by a thread of the test: listens on 127.0.0.1 at a port of its own,
// takes one connection (waiting ten seconds at most) and runs script on it, then closes it.
// What the script found is the test's to read once Join returned.
class FakeServer {
 public:
  explicit FakeServer(std::function<void(int connection)> script) {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(listener_, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
        listen(listener_, 1) == 0 &&
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
      port_ = ntohs(address.sin_port);
    }
    thread_ = std::thread([this, script = std::move(script)] {
      pollfd ready{listener_, POLLIN, 0};
      if (poll(&ready, 1, 10000) != 1) {
        return;
      }
      const int connection = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (connection >= 0) {
        script(connection);
        close(connection);
      }
    });
  }
  ~FakeServer() {
    Join();
    close(listener_);
  }
  FakeServer(const FakeServer&) = delete;
  FakeServer& operator=(const FakeServer&) = delete;

  // Waits until the script has run and the connection is closed.
  void Join() {
    if (thread_.joinable()) {
      thread_.join();
    }
  }
  // "<scheme>://127.0.0.1:<port>".
  std::string Url(const std::string& scheme) const { return scheme + "://" + Address(); }
  std::string Address() const { return "127.0.0.1:" + std::to_string(port_); }
  int Port() const { return port_; }

 private:
  int listener_ = -1;
  int port_ = 0;
  std::thread thread_;  // last: it starts once the listener is ready
};

}  // namespace pelorus::testing
