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
  const std::string variable = PortVariableFor(name);
  if (variable.empty()) {
    return "";
  }
  const std::string configured = FromEnvironment(variable);
  if (!configured.empty() || name == kTelnetName) {
    return configured;
  }
  return "/dev/ttyS" + std::to_string(std::stoi(name.substr(3)) - 1);
}

std::string ShortPortName(const std::string& name) {
  return name == kTelnetName ? "TELNET" : name;
}

std::vector<std::string> AllPortNames() {
  std::vector<std::string> names;
  for (unsigned n = 1; n <= kLastComPort + 1; ++n) {
    names.push_back(PortNameFor(n));
  }
  return names;
}

std::string PortVariableFor(const std::string& name) {
  for (const std::string& known : AllPortNames()) {
    if (name == known) {
      return "PELORUS_" + ShortPortName(name);
    }
  }
  return "";
}

}  // namespace pelorus
