#include "tcp_relay.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace pelorus::campaign {
namespace {

constexpr std::size_t kChunk = 16384;

void NonBlocking(int fd) {
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
}

// Writes what it can of *pending; false when the peer is gone.
bool Flush(int fd, std::string* pending) {
  while (!pending->empty()) {
    const ssize_t n = ::send(fd, pending->data(), pending->size(), MSG_NOSIGNAL);
    if (n < 0) {
      return errno == EAGAIN || errno == EWOULDBLOCK;
    }
    pending->erase(0, static_cast<std::size_t>(n));
  }
  return true;
}

}  // namespace

TcpRelay::~TcpRelay() {
  while (!links_.empty()) {
    Close(links_.begin()->first);
  }
  DropGhosts();
  if (listener_ >= 0) {
    ::close(listener_);
  }
}

bool TcpRelay::Start(const std::string& host, int port, std::string* error) {
  host_ = host;
  server_port_ = port;
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof(address);
  if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
      ::listen(listener_, 16) != 0 ||
      ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    *error = std::string("relay: ") + std::strerror(errno);
    return false;
  }
  port_ = ntohs(address.sin_port);
  return true;
}

int TcpRelay::Connect(std::string* error) const {
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(host_.c_str(), std::to_string(server_port_).c_str(), &hints, &found) != 0) {
    *error = "cannot resolve " + host_;
    return -1;
  }
  int fd = -1;
  for (addrinfo* a = found; a != nullptr && fd < 0; a = a->ai_next) {
    fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
    if (fd >= 0 && ::connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
      *error = std::strerror(errno);
      ::close(fd);
      fd = -1;
    }
  }
  ::freeaddrinfo(found);
  return fd;
}

void TcpRelay::Watch(PollSet* set) {
  set->Watch(listener_, POLLIN, [this](short) { Accept(); });
  for (const auto& [id, link] : links_) {
    if (link->cut) {
      continue;
    }
    const int key = id;
    set->Watch(link->client, static_cast<short>(POLLIN | (link->to_client.empty() ? 0 : POLLOUT)),
               [this, key](short revents) { Pump(key, true, revents); });
    set->Watch(link->server, static_cast<short>(POLLIN | (link->to_server.empty() ? 0 : POLLOUT)),
               [this, key](short revents) { Pump(key, false, revents); });
  }
}

void TcpRelay::Accept() {
  for (;;) {
    const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (client < 0) {
      return;
    }
    auto link = std::make_unique<Link>();
    link->client = client;
    // A connection made during a cut reaches nothing: it hangs until the cut ends.
    link->cut = cut_;
    if (!cut_) {
      std::string error;
      link->server = Connect(&error);
      if (link->server < 0) {
        ::close(client);
        continue;
      }
      NonBlocking(link->server);
    }
    links_[next_id_++] = std::move(link);
  }
}

void TcpRelay::Pump(int id, bool from_client, short revents) {
  const auto found = links_.find(id);
  if (found == links_.end() || found->second->cut) {
    return;
  }
  Link& link = *found->second;
  const int in = from_client ? link.client : link.server;
  const int out = from_client ? link.server : link.client;
  std::string& forward = from_client ? link.to_server : link.to_client;
  std::string& back = from_client ? link.to_client : link.to_server;
  if ((revents & POLLOUT) != 0 && !Flush(in, &back)) {
    Close(id);
    return;
  }
  if ((revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
    return;
  }
  char buffer[kChunk];
  for (;;) {
    const ssize_t n = ::recv(in, buffer, sizeof(buffer), 0);
    if (n > 0) {
      forward.append(buffer, static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      break;
    }
    // One side closed: what it sent still goes over, then the other side is closed too.
    Flush(out, &forward);
    Close(id);
    return;
  }
  if (!Flush(out, &forward)) {
    Close(id);
  }
}

void TcpRelay::Close(int id) {
  const auto found = links_.find(id);
  if (found == links_.end()) {
    return;
  }
  for (int fd : {found->second->client, found->second->server}) {
    if (fd >= 0) {
      ::close(fd);
    }
  }
  links_.erase(found);
}

void TcpRelay::Cut() {
  cut_ = true;
  for (auto& [id, link] : links_) {
    link->cut = true;
  }
}

void TcpRelay::Reconnect() {
  for (auto it = links_.begin(); it != links_.end();) {
    if (!it->second->cut) {
      ++it;
      continue;
    }
    ::close(it->second->client);
    if (it->second->server >= 0) {
      ghosts_.push_back(it->second->server);
    }
    it = links_.erase(it);
  }
  cut_ = false;
}

std::vector<int> TcpRelay::GhostPorts() const {
  std::vector<int> ports;
  for (int fd : ghosts_) {
    sockaddr_storage address{};
    socklen_t size = sizeof(address);
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0) {
      if (address.ss_family == AF_INET) {
        ports.push_back(ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port));
      } else if (address.ss_family == AF_INET6) {
        ports.push_back(ntohs(reinterpret_cast<sockaddr_in6*>(&address)->sin6_port));
      }
    }
  }
  return ports;
}

void TcpRelay::DropGhosts() {
  for (int fd : ghosts_) {
    ::close(fd);
  }
  ghosts_.clear();
}

}  // namespace pelorus::campaign
