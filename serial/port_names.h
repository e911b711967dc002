#pragma once

#include <string>
#include <vector>

namespace pelorus {

// The port names the window offers and the devices behind them on this platform.
//
// Port numbers up to 5 name "COM1" ... "COM5"; 6 and above all name the device "\\.\TELNET".
// A name maps to a device path through the environment: PELORUS_COM1 ... PELORUS_COM5 and
// PELORUS_TELNET. Without a (non-empty) variable, COMn is /dev/ttyS<n-1> and "\\.\TELNET"
// has no device.

// "COM<port>" for port 5 or less, "\\.\TELNET" otherwise.
std::string PortNameFor(unsigned port);

// The device path behind name, or an empty string when the name has none.
std::string DevicePathFor(const std::string& name);

// The name as people say it: "COM1" ... "COM5", "TELNET".
std::string ShortPortName(const std::string& name);

// Every port name the window can open, in order: "COM1" ... "COM5", "\\.\TELNET".
std::vector<std::string> AllPortNames();
// The environment variable that maps name to a device ("PELORUS_COM1", "PELORUS_TELNET").
std::string PortVariableFor(const std::string& name);

}  // namespace pelorus
