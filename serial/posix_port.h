#pragma once

#include <chrono>
#include <cstddef>
#include <string>

#include "port_settings.h"
#include "transport.h"

namespace pelorus {

// One open terminal device, held exclusively: the POSIX calls behind the port object.
// Reads never block (the device is opened non-blocking); the caller waits in poll() on Fd().
class PosixPort {
 public:
  // A read is lost on EIO or ENXIO; a write on EIO, ENXIO, EPIPE or a hang-up.
  using ReadStatus = Transport::ReadStatus;
  using WriteResult = Transport::WriteResult;

  PosixPort() = default;
  ~PosixPort();  // closes the port if open
  PosixPort(const PosixPort&) = delete;
  PosixPort& operator=(const PosixPort&) = delete;

  // Opens path for reading and writing as this process's exclusive terminal line (flock and
  // TIOCEXCL), with nothing queued. 0 on success, otherwise the errno that explains the
  // failure (ENOTTY: not a terminal; EBUSY: another holder has the lock) and nothing is open.
  int Open(const std::string& path);
  bool IsOpen() const { return fd_ >= 0; }
  int Fd() const { return fd_; }

  // Raw mode, receiver on, modem status ignored, reads return at once, then the record's
  // speed, data bits, parity, stop bits and flow control; then DTR and RTS raised. True when
  // the line reads back as asked. Refused: DTR/DSR handshake and one and a half stop bits
  // (termios has neither), codes outside the tables. Modem-line and non-standard speed calls
  // that the device does not support (ENOTTY, EINVAL) are not refusals.
  bool Configure(const PortSettings& settings);

  // Bytes waiting in the input queue; -1 when the query failed (errno set).
  int BytesWaiting() const;
  // One read of at most count bytes that does not wait; returns the number read (0 or more).
  int Read(char* buffer, std::size_t count, ReadStatus* status);
  // Writes all count bytes, waiting at most timeout for the line to take them.
  WriteResult Write(const char* bytes, std::size_t count, std::chrono::milliseconds timeout);
  // Drops DTR and RTS, discards both queues, releases the exclusive hold and closes.
  // Nothing when not open.
  void Close();

 private:
  int fd_ = -1;
};

}  // namespace pelorus
