#include "tools/station/rack_config.h"

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>

#include "pelorus_version.h"
#include "pool/address_pool.h"

namespace pelorus {
namespace {

constexpr std::size_t kPortNameMax = 32;

std::string HostName() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0) {
    return "localhost";
  }
  return name;
}

std::string Trimmed(const std::string& text) {
  const auto first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) {
    return {};
  }
  return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

// Where an option's value was given, for a message about it: "--port A1=/dev/ttyUSB0" on the
// command line, else the configuration file's line that holds it ("rack.conf:7"), else the
// file.
class Origins {
 public:
  Origins(int argc, const char* const* argv) : args_(argv + 1, argv + argc) {}

  void SetFile(const std::string& file) {
    file_ = file;
    lines_.clear();
    std::ifstream in(file);
    for (std::string line; std::getline(in, line);) {
      lines_.push_back(line);
    }
  }

  // The place of the nth (from 0) appearance of value as the option's value.
  std::string Of(const std::string& option, const std::string& value, int nth = 0) const {
    int seen = 0;
    for (std::size_t k = 0; k < args_.size(); ++k) {
      const bool split = args_[k] == "--" + option && k + 1 < args_.size() && args_[k + 1] == value;
      if ((split || args_[k] == "--" + option + "=" + value) && seen++ == nth) {
        return "--" + option + " " + value;
      }
    }
    return InFile(option, value, nth - seen);
  }

  // The file's line that sets key (to value, when one is given).
  std::string InFile(const std::string& key, const std::string& value = {}, int nth = 0) const {
    int seen = 0;
    for (std::size_t k = 0; k < lines_.size(); ++k) {
      const std::string line = Trimmed(lines_[k]);
      if (line.rfind(key, 0) != 0) {
        continue;
      }
      const std::string rest = Trimmed(line.substr(key.size()));
      if (!rest.empty() && rest[0] != '=' && !key.empty() && rest[0] != ' ') {
        continue;  // a longer key that begins with this one
      }
      if (!value.empty() && rest.find(value) == std::string::npos) {
        continue;
      }
      if (seen++ == std::max(nth, 0)) {
        return file_ + ":" + std::to_string(k + 1);
      }
    }
    return file_.empty() ? "command line" : file_;
  }

 private:
  std::vector<std::string> args_;
  std::string file_;
  std::vector<std::string> lines_;
};

// Two names of one device are one device: a path by where it leads, a console server by its
// address whatever the case of its name.
std::string DeviceKey(const std::string& device) {
  const auto scheme = device.find("://");
  if (scheme != std::string::npos) {
    std::string key = device;
    std::transform(key.begin(), key.end(), key.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    while (!key.empty() && key.back() == '/') {
      key.pop_back();
    }
    return key;
  }
  char resolved[PATH_MAX];
  return realpath(device.c_str(), resolved) != nullptr ? resolved : device;
}

std::string PortNameProblem(const std::string& name) {
  if (name.empty()) {
    return "a port has no name (NAME=DEVICE)";
  }
  if (name.size() > kPortNameMax) {
    return "port name " + name + " is longer than " + std::to_string(kPortNameMax) + " characters";
  }
  for (char c : name) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_' && c != '.') {
      return "port name " + name + " may hold only letters, digits, '-', '_' and '.'";
    }
  }
  return {};
}

// The option that an INI complaint of CLI11's is about ("INI was not able to parse bogus").
std::string ConfigKey(const std::string& what) {
  const std::string lead = "parse ";
  const auto at = what.find(lead);
  std::string key = at == std::string::npos ? what : what.substr(at + lead.size());
  const auto dot = key.find(".++");
  return dot == std::string::npos ? key : key.substr(0, dot);
}

}  // namespace

int ParseRackCommandLine(int argc, const char* const* argv, RackConfig* config, std::string* text) {
  CLI::App app{
      "Programs boards on many ports at once, without a window: every port a station of the "
      "pool that leases, writes, verifies and records each board's address.",
      "pelorus-station"};
  app.set_version_flag("--version", "pelorus-station " PELORUS_VERSION_TEXT);
  std::vector<std::string> ports;
  app.add_option("--pool", config->pool, "the pool's store: a SQLite file or a PostgreSQL location")
      ->required();
  app.add_option("--pool-name", config->pool_name, "the pool in the store")->capture_default_str();
  app.add_option("--port", ports, "a port: NAME=DEVICE (a device path, tcp:// or telnet://)")
      ->allow_extra_args(false);
  app.add_option("--station-prefix", config->station_prefix,
                 "the stations' names are PREFIX/NAME (default: the host's name)");
  app.add_option("--events", config->events,
                 "append the attempts' JSON lines to this file (default: standard output)");
  app.set_config("--config", "", "read options from this file, one \"option = value\" per line");
  app.allow_config_extras(CLI::config_extras_mode::error);

  Origins origins(argc, argv);
  for (int k = 1; k + 1 < argc; ++k) {
    if (std::string(argv[k]) == "--config") {
      origins.SetFile(argv[k + 1]);
    }
  }
  for (int k = 1; k < argc; ++k) {
    const std::string arg = argv[k];
    if (arg.rfind("--config=", 0) == 0) {
      origins.SetFile(arg.substr(9));
    }
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    *text = app.help();
    return 0;
  } catch (const CLI::CallForVersion& e) {
    *text = std::string(e.what()) + "\n";
    return 0;
  } catch (const CLI::ConfigError& e) {
    *text = origins.InFile(ConfigKey(e.what())) + ": " + e.what();
    return 2;
  } catch (const CLI::ParseError& e) {
    *text = e.what();
    return 2;
  }

  if (config->pool.empty()) {
    *text = origins.Of("pool", "") + ": the pool's location is empty";
    return 2;
  }
  if (ports.empty()) {
    *text = "no port: give each as --port NAME=DEVICE (or \"port = NAME=DEVICE\" in the file)";
    return 2;
  }
  if (config->station_prefix.empty()) {
    config->station_prefix = HostName();
  }
  std::set<std::string> names;
  std::map<std::string, std::string> devices;
  std::map<std::string, int> seen;
  for (const std::string& value : ports) {
    const int nth = seen[value]++;
    const std::string where = origins.Of("port", value, nth);
    const auto equals = value.find('=');
    RackConfig::Port port;
    port.name = Trimmed(value.substr(0, equals));
    port.device = equals == std::string::npos ? std::string() : Trimmed(value.substr(equals + 1));
    std::string problem = PortNameProblem(port.name);
    if (problem.empty() && port.device.empty()) {
      problem = "port " + port.name + " has no device (NAME=DEVICE)";
    }
    if (problem.empty()) {
      problem = pool::NameProblem("station", config->StationOf(port));
    }
    if (problem.empty() && names.count(port.name) != 0) {
      problem = "port " + port.name + " named twice";
    }
    const std::string key = DeviceKey(port.device);
    if (problem.empty() && devices.count(key) != 0) {
      problem = "ports " + devices[key] + " and " + port.name + " are on one device (" + key + ")";
    }
    if (!problem.empty()) {
      *text = where + ": " + problem;
      return 2;
    }
    names.insert(port.name);
    devices[key] = port.name;
    config->ports.push_back(port);
  }
  return -1;
}

}  // namespace pelorus
