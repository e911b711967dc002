#pragma once

#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace pelorus::testing {

// A TCP relay on 127.0.0.1 to a server, on a thread of its own, that a test cuts as a network
// would be cut. Cut() stops forwarding the links there are: the client's side is reset (as the
// client's own keepalive giving up would leave it) while the server's side stays open and
// silent, so that the server sees nothing. Blackhole() accepts every later link and never
// forwards it, nor closes it. Refuse(true) resets every later link at once, as a host whose
// server is down, until Refuse(false).
class TcpRelay {
 public:
  // The ports of a link: the client's own, and the relay's towards the server.
  struct Link {
    int client = -1;
    int server = -1;
    int client_port = 0;
    int server_side_port = 0;
  };

  TcpRelay(const std::string& host, int port) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) == 0) {
      std::memcpy(&server_, found->ai_addr, sizeof server_);
      freeaddrinfo(found);
    }
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof any;
    bind(listener_, reinterpret_cast<sockaddr*>(&any), sizeof any);
    listen(listener_, 16);
    getsockname(listener_, reinterpret_cast<sockaddr*>(&any), &length);
    port_ = ntohs(any.sin_port);
    wake_ = eventfd(0, EFD_CLOEXEC);
    thread_ = std::thread([this] { Loop(); });
  }
  ~TcpRelay() {
    Ask([this] { stop_ = true; });
    thread_.join();
    for (const Link& link : links_) {
      close(link.client);
      close(link.server);
    }
    for (const int fd : silent_) {
      close(fd);
    }
    close(listener_);
    close(wake_);
  }
  TcpRelay(const TcpRelay&) = delete;
  TcpRelay& operator=(const TcpRelay&) = delete;

  int port() const { return port_; }

  void Cut() {
    Ask([this] {
      for (const Link& link : links_) {
        const linger reset = {1, 0};
        setsockopt(link.client, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        close(link.client);
        silent_.push_back(link.server);
      }
      links_.clear();
    });
  }
  void Blackhole() {
    Ask([this] { blackhole_ = true; });
  }
  void Refuse(bool refuse) {
    Ask([this, refuse] { refuse_ = refuse; });
  }
  // Waits until count links have been accepted in all; false after bound.
  bool WaitForLinks(int count, std::chrono::seconds bound) {
    std::unique_lock<std::mutex> lock(mutex_);
    return accepted_changed_.wait_for(lock, bound, [&] { return accepted_ >= count; });
  }
  // The last link accepted.
  Link Last() {
    std::lock_guard<std::mutex> lock(mutex_);
    return last_;
  }

 private:
  static int PortOf(int fd, bool peer) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    (peer ? getpeername : getsockname)(fd, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
  }

  // Has the relay's thread run what, and waits until it has.
  template <typename What>
  void Ask(What what) {
    std::unique_lock<std::mutex> lock(mutex_);
    asked_ = what;
    const std::uint64_t one = 1;
    if (write(wake_, &one, sizeof one) != sizeof one) {
      return;
    }
    done_.wait(lock, [this] { return !asked_; });
  }

  void Loop() {
    while (!stop_) {
      std::vector<pollfd> watched = {{wake_, POLLIN, 0}, {listener_, POLLIN, 0}};
      for (const Link& link : links_) {
        watched.push_back({link.client, POLLIN, 0});
        watched.push_back({link.server, POLLIN, 0});
      }
      if (poll(watched.data(), watched.size(), -1) < 0) {
        continue;
      }
      if (watched[0].revents != 0) {
        std::uint64_t count = 0;
        std::lock_guard<std::mutex> lock(mutex_);
        if (read(wake_, &count, sizeof count) == sizeof count && asked_) {
          asked_();
          asked_ = nullptr;
          done_.notify_all();
        }
        continue;
      }
      if (watched[1].revents != 0) {
        Accept();
        continue;
      }
      for (std::size_t i = 2; i < watched.size(); ++i) {
        if (watched[i].revents != 0 && !Forward((i - 2) / 2, (i - 2) % 2 == 0)) {
          break;
        }
      }
    }
  }

  void Accept() {
    Link link;
    link.client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (link.client < 0) {
      return;
    }
    link.client_port = PortOf(link.client, true);
    if (refuse_) {
      const linger reset = {1, 0};
      setsockopt(link.client, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
      close(link.client);
      link.client = -1;
    } else if (blackhole_) {
      silent_.push_back(link.client);
    } else {
      link.server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      connect(link.server, reinterpret_cast<const sockaddr*>(&server_), sizeof server_);
      link.server_side_port = PortOf(link.server, false);
      links_.push_back(link);
    }
    std::lock_guard<std::mutex> lock(mutex_);
    last_ = link;
    ++accepted_;
    accepted_changed_.notify_all();
  }

  // Moves what one side of link i sent to the other; false when the link ended (and the
  // links have changed).
  bool Forward(std::size_t i, bool from_client) {
    const Link link = links_[i];
    char bytes[16 * 1024];
    const ssize_t got = read(from_client ? link.client : link.server, bytes, sizeof bytes);
    ssize_t sent = 0;
    while (got > 0 && sent < got) {
      const ssize_t n = write(from_client ? link.server : link.client, bytes + sent,
                              static_cast<std::size_t>(got - sent));
      if (n <= 0) {
        break;
      }
      sent += n;
    }
    if (got > 0 && sent == got) {
      return true;
    }
    close(link.client);
    close(link.server);
    links_.erase(links_.begin() + static_cast<std::ptrdiff_t>(i));
    return false;
  }

  // The relay's thread alone touches the links and the modes; the mutex guards what the test's
  // thread asks and reads.
  sockaddr_in server_{};
  int listener_ = -1;
  int port_ = 0;
  int wake_ = -1;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable done_;
  std::condition_variable accepted_changed_;
  std::function<void()> asked_;
  bool stop_ = false;
  bool blackhole_ = false;
  bool refuse_ = false;
  int accepted_ = 0;
  Link last_;
  std::vector<Link> links_;
  std::vector<int> silent_;
};

}  // namespace pelorus::testing
