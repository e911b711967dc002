#include "port_names.h"

#include <cstdlib>

namespace pelorus {
namespace {

constexpr char kTelnetName[] = "\\\\.\\TELNET";
constexpr unsigned kLastComPort = 5;

std::string FromEnvironment(const std::string& variable) {
  const char* value = std::getenv(variable.c_str());
  return value != nullptr ? value : "";
}

}  // namespace

std::string PortNameFor(unsigned port) {
  return port <= kLastComPort ? "COM" + std::to_string(port) : kTelnetName;
}

std::string DevicePathFor(const std::string& name) {
  if (name == kTelnetName) {
    return FromEnvironment("PELORUS_TELNET");
  }
  for (unsigned n = 1; n <= kLastComPort; ++n) {
    if (name == "COM" + std::to_string(n)) {
      const std::string configured = FromEnvironment("PELORUS_" + name);
      return configured.empty() ? "/dev/ttyS" + std::to_string(n - 1) : configured;
    }
  }
  return "";
}

std::string ShortPortName(const std::string& name) {
  return name == kTelnetName ? "TELNET" : name;
}

}  // namespace pelorus
