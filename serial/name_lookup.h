#pragma once

#include <sys/socket.h>

#include <chrono>
#include <string>
#include <vector>

#include "port_error.h"
#include "transport.h"

namespace pelorus {

// One address a console server may be reached at.
struct SocketAddress {
  sockaddr_storage storage;
  socklen_t length;
};

// The stream addresses of host:port (port a number), in the resolver's order of preference.
// A numeric address is taken at once; a name is looked up on a thread of its own while the
// caller waits through waiter until deadline, so that a slow or unreachable name server costs
// at most that time and never holds the window (a lookup given up on ends on its own later).
// False with *error filled in (kUnreachable for a name that does not resolve, kTimedOut when
// the lookup took too long; target) on failure.
bool LookUpAddresses(const std::string& host, const std::string& port, const std::string& target,
                     const OpenWaiter& waiter, std::chrono::steady_clock::time_point deadline,
                     std::vector<SocketAddress>* addresses, PortError* error);

}  // namespace pelorus
