#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <utility>

#include "port_error.h"
#include "posix_port.h"
#include "transport.h"

namespace pelorus {

// A local terminal device (serial adapter, pseudo-terminal) as the line under a port object,
// held exclusively while open.
class TtyTransport : public Transport {
 public:
  // The device at path, open and held; null with *error filled in (missing, permission
  // denied, busy, not a terminal, other) when it cannot be.
  static std::unique_ptr<TtyTransport> Open(const std::string& path, PortError* error);
  // Why opening the device at path failed with the system's error number `failure`.
  static PortError OpenError(const std::string& path, int failure);

  int Fd() const override { return port_.Fd(); }
  const std::string& Target() const override { return path_; }
  // Applies the record to the line and reads it back (see PosixPort::Configure); waits for
  // nothing.
  bool Configure(const PortSettings& settings, const OpenWaiter& waiter, PortError* error) override;
  int Read(char* buffer, std::size_t count, ReadStatus* status) override;
  WriteResult Write(const char* bytes, std::size_t count,
                    std::chrono::milliseconds timeout) override;

 private:
  explicit TtyTransport(std::string path) : path_(std::move(path)) {}

  std::string path_;
  PosixPort port_;
};

}  // namespace pelorus
