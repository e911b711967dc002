#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <numeric>
#include <string>
#include <thread>

namespace pelorus::testing {

inline std::string Bytes(std::initializer_list<unsigned> values) {
  std::string bytes;
  for (const unsigned value : values) {
    bytes += static_cast<char>(value);
  }
  return bytes;
}

inline std::string AllByteValues() {
  std::string all(256, '\0');
  std::iota(all.begin(), all.end(), '\0');
  return all;
}

inline bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

inline sockaddr_in Loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

// A TCP socket bound to a free port of 127.0.0.1, which *port names (0 when that failed);
// listening with that backlog unless it is negative, so that connections to it are refused.
inline int BoundLoopback(int* port, int backlog = -1) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = Loopback(0);
  socklen_t length = sizeof address;
  *port = bind(fd, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
                  (backlog < 0 || listen(fd, backlog) == 0) &&
                  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0
              ? ntohs(address.sin_port)
              : 0;
  return fd;
}

// Writes all of bytes to a connected socket; false when it fails.
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
  for (ssize_t n;
       !done(got) && poll(&in, 1, 10000) == 1 && (n = read(fd, buffer, sizeof buffer)) > 0;) {
    got.append(buffer, static_cast<std::size_t>(n));
  }
  return got;
}

// A console server played by a thread of the test: listens on 127.0.0.1 at a port of its own,
// takes one connection (waiting ten seconds at most) and runs script on it, then closes it.
// What the script found is the test's to read once Join returned.
class FakeServer {
 public:
  explicit FakeServer(std::function<void(int connection)> script)
      : listener_(BoundLoopback(&port_, 1)), thread_([this, script = std::move(script)] {
          pollfd ready{listener_, POLLIN, 0};
          const int connection =
              poll(&ready, 1, 10000) == 1 ? accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC) : -1;
          if (connection >= 0) {
            script(connection);
            close(connection);
          }
        }) {}
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
  int port_ = 0;
  int listener_;
  std::thread thread_;  // last: it starts once the listener is ready
};

}  // namespace pelorus::testing
