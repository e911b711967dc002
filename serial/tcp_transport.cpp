#include "tcp_transport.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "name_lookup.h"

namespace pelorus {
namespace {

using Clock = std::chrono::steady_clock;

std::chrono::milliseconds Left(Clock::time_point deadline) {
  return std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
}

PortError::Kind KindOf(int error) {
  switch (error) {
    case ECONNREFUSED:
      return PortError::Kind::kRefused;
    case ENETUNREACH:
    case EHOSTUNREACH:
    case ENETDOWN:
    case EHOSTDOWN:
    case EADDRNOTAVAIL:
    case EAFNOSUPPORT:
      return PortError::Kind::kUnreachable;
    case ETIMEDOUT:
      return PortError::Kind::kTimedOut;
    case ECONNRESET:
    case ECONNABORTED:
    case EPIPE:
      return PortError::Kind::kConnectionLost;
    case EACCES:
    case EPERM:
      return PortError::Kind::kPermissionDenied;
    default:
      return PortError::Kind::kOther;
  }
}

// Errors after which the connection is gone for good.
bool Gone(int error) {
  return error == EPIPE || error == ECONNRESET || error == ENOTCONN || error == ETIMEDOUT ||
         error == EHOSTUNREACH || error == ENETUNREACH || error == ECONNABORTED;
}

// A console link carries short commands that each wait for their answer, so nothing is held
// back to fill a segment. A console server that is switched off would only show after the
// kernel's retransmissions give up, a quarter of an hour later: keep-alive probes and a
// bound on unacknowledged data turn that into seconds, reported as a lost port.
void TuneConnection(int fd) {
  const int on = 1;
  const int idle_s = 10;
  const int interval_s = 5;
  const int probes = 3;
  const unsigned unacknowledged_ms = 30000;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle_s, sizeof idle_s);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval_s, sizeof interval_s);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
  setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &unacknowledged_ms, sizeof unacknowledged_ms);
}

// 0 once connected; otherwise the errno that explains why not (ETIMEDOUT past the deadline).
int ConnectOne(int fd, const SocketAddress& address, const OpenWaiter& waiter,
               Clock::time_point deadline) {
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address.storage), address.length) == 0) {
    return 0;
  }
  // An interrupted connect goes on in the background, like one in progress.
  if (errno != EINPROGRESS && errno != EINTR) {
    return errno;
  }
  for (;;) {
    const auto left = Left(deadline);
    if (left.count() <= 0 || !waiter.wait_ready(fd, POLLOUT, left)) {
      return ETIMEDOUT;
    }
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
      return errno;
    }
    if (error != 0) {
      return error;
    }
    sockaddr_storage peer{};
    socklen_t peer_length = sizeof peer;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peer_length) == 0) {
      return 0;
    }
    if (errno != ENOTCONN) {
      return errno;
    }
  }
}

}  // namespace

std::unique_ptr<TcpTransport> TcpTransport::Connect(const std::string& host,
                                                    const std::string& port,
                                                    const std::string& target,
                                                    const OpenWaiter& waiter, PortError* error) {
  const auto deadline = Clock::now() + waiter.stage_limit;
  std::vector<SocketAddress> addresses;
  if (!LookUpAddresses(host, port, target, waiter, deadline, &addresses, error)) {
    return nullptr;
  }
  int failure = EHOSTUNREACH;
  for (const SocketAddress& address : addresses) {
    const int fd = socket(address.storage.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
      failure = errno;
      continue;
    }
    failure = ConnectOne(fd, address, waiter, deadline);
    if (failure == 0) {
      TuneConnection(fd);
      return std::unique_ptr<TcpTransport>(new TcpTransport(fd, target));
    }
    close(fd);
    if (failure == ETIMEDOUT) {
      break;  // the time is up for every address
    }
  }
  *error = PortError{KindOf(failure), target, std::strerror(failure)};
  return nullptr;
}

TcpTransport::~TcpTransport() {
  close(fd_);
}

bool TcpTransport::Configure(const PortSettings&, const OpenWaiter&, PortError*) {
  return true;
}

int TcpTransport::Read(char* buffer, std::size_t count, ReadStatus* status) {
  for (;;) {
    const ssize_t n = recv(fd_, buffer, count, 0);
    if (n > 0) {
      *status = ReadStatus::kData;
      return static_cast<int>(n);
    }
    if (n < 0 && errno == EINTR) {
      continue;
    }
    // Unlike a terminal's, an empty read here is the end of the stream: the server hung up.
    const bool waiting = n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    *status = waiting ? ReadStatus::kNothing : ReadStatus::kLost;
    return 0;
  }
}

Transport::WriteResult TcpTransport::Write(const char* bytes, std::size_t count,
                                           std::chrono::milliseconds timeout) {
  std::size_t sent = 0;
  return Send(bytes, count, timeout, &sent);
}

Transport::WriteResult TcpTransport::Send(const char* bytes, std::size_t count,
                                          std::chrono::milliseconds timeout, std::size_t* sent) {
  const auto deadline = Clock::now() + timeout;
  *sent = 0;
  while (*sent < count) {
    // MSG_NOSIGNAL: a server that hung up must make the write fail, not end the program.
    const ssize_t n = send(fd_, bytes + *sent, count - *sent, MSG_NOSIGNAL);
    if (n > 0) {
      *sent += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
      return Gone(errno) ? WriteResult::kLost : WriteResult::kFailed;
    }
    const auto left = Left(deadline);
    if (left.count() <= 0) {
      return WriteResult::kTimedOut;
    }
    pollfd out{fd_, POLLOUT, 0};
    const int ready = poll(&out, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno != EINTR) {
      return WriteResult::kFailed;
    }
    if (ready > 0 && (out.revents & (POLLERR | POLLHUP)) != 0) {
      return WriteResult::kLost;
    }
  }
  return WriteResult::kDone;
}

}  // namespace pelorus
