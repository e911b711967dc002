#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <utility>

#include "port_error.h"
#include "transport.h"

namespace pelorus {

// A TCP connection to a console server's port, used raw: bytes go both ways as they are and
// the server keeps its own line settings. A connection the server closes or resets counts as
// a line that went away.
class TcpTransport : public Transport {
 public:
  // Connects to host:port (target, "HOST:PORT" as the operator wrote it, names it in errors),
  // trying each address the name has, within the waiter's stage limit for lookup and connect
  // together, waiting only through the waiter. Null with *error filled in (refused,
  // unreachable, timed out, connection lost, other) when no address takes the connection.
  static std::unique_ptr<TcpTransport> Connect(const std::string& host, const std::string& port,
                                               const std::string& target, const OpenWaiter& waiter,
                                               PortError* error);
  ~TcpTransport() override;
  TcpTransport(const TcpTransport&) = delete;
  TcpTransport& operator=(const TcpTransport&) = delete;

  int Fd() const override { return fd_; }
  const std::string& Target() const override { return target_; }
  // Nothing to do: a raw port's line is set up on the server.
  bool Configure(const PortSettings& settings, const OpenWaiter& waiter, PortError* error) override;
  // Also kLost when the server closed the connection (end of stream) or reset it.
  int Read(char* buffer, std::size_t count, ReadStatus* status) override;
  WriteResult Write(const char* bytes, std::size_t count,
                    std::chrono::milliseconds timeout) override;
  // Write that tells in *sent how many bytes went out, also when not all did. A zero timeout
  // sends what the connection takes at once.
  WriteResult Send(const char* bytes, std::size_t count, std::chrono::milliseconds timeout,
                   std::size_t* sent);

 private:
  TcpTransport(int fd, std::string target) : fd_(fd), target_(std::move(target)) {}

  int fd_;
  std::string target_;
};

}  // namespace pelorus
