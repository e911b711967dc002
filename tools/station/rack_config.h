#pragma once

#include <string>
#include <vector>

namespace pelorus {

// What a rack station runs, from its command line and its configuration file: the pool, and
// the ports, each a name and the device its console is on.
struct RackConfig {
  struct Port {
    std::string name;    // "A1": the station is PREFIX/NAME
    std::string device;  // a device path, a /dev/serial/by-id/ name, tcp:// or telnet://
  };

  std::string pool;  // the store's location
  std::string pool_name = "default";
  std::string station_prefix;  // the host's name unless given
  std::vector<Port> ports;
  std::string events;  // the events file; empty: standard output

  // PREFIX/NAME.
  std::string StationOf(const Port& port) const { return station_prefix + "/" + port.name; }
};

// Reads the command line (and the file --config names: one "option = value" per line, the
// options without their dashes, "port" as often as there are ports; an option given on the
// command line replaces the file's). Returns -1 with *config filled when the station may run;
// otherwise the exit status, with what to print in *text: 0 for --help (the usage) or --version
// (one line), 2 for bad input, which *text explains in one line naming where it is at fault
// ("rack.conf:7: port A1 named twice"). Nothing is opened but the configuration file.
int ParseRackCommandLine(int argc, const char* const* argv, RackConfig* config, std::string* text);

}  // namespace pelorus
