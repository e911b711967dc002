#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "port_error.h"
#include "port_settings.h"

namespace pelorus {

// How an open passes its waits: wait_ready(fd, events, timeout) waits until fd is ready for
// events (or has an error or hang-up to report) or the timeout passed, letting the window
// paint meanwhile, and is true when ready. Each stage of an open that waits on the far side
// (name lookup and connect, Telnet negotiation) is bounded by stage_limit.
struct OpenWaiter {
  std::function<bool(int fd, short events, std::chrono::milliseconds timeout)> wait_ready;
  std::chrono::milliseconds stage_limit;
};

// The line under a port object: a local terminal device or a console server on the network.
// Owns its descriptor, which it closes when destroyed. Open and Configure run on the window's
// thread; afterwards Read runs on the watcher's thread and Write on the window's, possibly at
// the same time.
class Transport {
 public:
  // What a read found.
  enum class ReadStatus {
    kData,     // data bytes were read
    kNothing,  // no data waiting (or only line control), or a failure that leaves it usable
    kLost,     // the device or the connection went away
  };
  enum class WriteResult {
    kDone,
    kTimedOut,
    kFailed,
    kLost,  // the device or the connection went away
  };

  virtual ~Transport() = default;

  // The descriptor the watcher waits on for input, hang-up and errors.
  virtual int Fd() const = 0;
  // What the operator named: the device path, or HOST:PORT of a console server.
  virtual const std::string& Target() const = 0;
  // Puts the line into raw mode with the record's speed and format. False, with *error filled
  // in, when the line refused it or could not be reached.
  virtual bool Configure(const PortSettings& settings, const OpenWaiter& waiter,
                         PortError* error) = 0;
  // Data bytes now waiting, at most count, without waiting for more; 0 with kNothing when none
  // (also when only line control arrived), 0 with kLost when the line went away.
  virtual int Read(char* buffer, std::size_t count, ReadStatus* status) = 0;
  // Writes all count bytes, waiting at most timeout for the line to take them.
  virtual WriteResult Write(const char* bytes, std::size_t count,
                            std::chrono::milliseconds timeout) = 0;
};

// Opens what target names, as a port name's environment variable holds it:
//   tcp://HOST:PORT     a console server's raw TCP port (bytes both ways as they are);
//   telnet://HOST:PORT  a console server's Telnet port with serial control (RFC 2217);
//   anything else       the path of a local terminal device.
// HOST is a name, an IPv4 address or an IPv6 address in brackets; PORT is a number. Null,
// with *error filled in (its target is the device path or HOST:PORT), when it cannot be opened.
std::unique_ptr<Transport> OpenTransport(const std::string& target, const OpenWaiter& waiter,
                                         PortError* error);

}  // namespace pelorus
