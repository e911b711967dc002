#include "transport.h"

#include <cstdlib>

#include "tcp_transport.h"
#include "telnet_transport.h"
#include "tty_transport.h"

namespace pelorus {
namespace {

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

// HOST:PORT, with an IPv6 address in brackets; false when address is not of that form.
bool SplitAddress(const std::string& address, std::string* host, std::string* port) {
  std::size_t colon = 0;
  if (!address.empty() && address[0] == '[') {
    const std::size_t close = address.find(']');
    if (close == std::string::npos || close + 1 >= address.size() || address[close + 1] != ':') {
      return false;
    }
    *host = address.substr(1, close - 1);
    colon = close + 1;
  } else {
    colon = address.find(':');
    if (colon == std::string::npos || address.find(':', colon + 1) != std::string::npos) {
      return false;
    }
    *host = address.substr(0, colon);
  }
  *port = address.substr(colon + 1);
  const bool digits = !port->empty() && port->size() <= 5 &&
                      port->find_first_not_of("0123456789") == std::string::npos;
  return !host->empty() && digits && std::atoi(port->c_str()) >= 1 &&
         std::atoi(port->c_str()) <= 65535;
}

}  // namespace

std::unique_ptr<Transport> OpenTransport(const std::string& target, const OpenWaiter& waiter,
                                         PortError* error) {
  const std::string kTcp = "tcp://";
  const std::string kTelnet = "telnet://";
  const bool telnet = StartsWith(target, kTelnet);
  if (!telnet && !StartsWith(target, kTcp)) {
    return TtyTransport::Open(target, error);
  }
  const std::string address = target.substr(telnet ? kTelnet.size() : kTcp.size());
  std::string host;
  std::string port;
  if (!SplitAddress(address, &host, &port)) {
    *error = PortError{PortError::Kind::kOther, address,
                       "not HOST:PORT (a port number, an IPv6 address in brackets)"};
    return nullptr;
  }
  std::unique_ptr<TcpTransport> connection =
      TcpTransport::Connect(host, port, address, waiter, error);
  if (connection == nullptr || !telnet) {
    return connection;
  }
  return std::make_unique<TelnetTransport>(std::move(connection));
}

}  // namespace pelorus
