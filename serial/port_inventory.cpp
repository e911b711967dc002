#include "port_inventory.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "port_names.h"

namespace pelorus {
namespace {

namespace fs = std::filesystem;

bool IsServerUrl(const std::string& target) {
  return target.rfind("tcp://", 0) == 0 || target.rfind("telnet://", 0) == 0;
}

std::string Resolved(const std::string& path) {
  std::error_code error;
  const fs::path real = fs::canonical(path, error);
  return error ? "" : real.string();
}

// Another process that holds the device open: only this user's processes can be seen (all
// of them for root), which covers the usual culprit, a terminal program left running.
std::string Holder(const std::string& device) {
  std::error_code error;
  for (const auto& process : fs::directory_iterator("/proc", error)) {
    const std::string pid = process.path().filename().string();
    if (pid.find_first_not_of("0123456789") != std::string::npos ||
        pid == std::to_string(getpid())) {
      continue;
    }
    std::error_code fd_error;
    for (const auto& fd : fs::directory_iterator(process.path() / "fd", fd_error)) {
      std::error_code link_error;
      if (fs::read_symlink(fd.path(), link_error) == device) {
        std::string command;
        std::getline(std::ifstream(process.path() / "comm"), command);
        return "pid " + pid + " (" + command + ")";
      }
    }
  }
  return "";
}

}  // namespace

PortInventory::PortInventory(std::string dev_root) : dev_root_(std::move(dev_root)) {}

std::string PortInventory::Target(const std::string& name, bool* variable_set) const {
  const char* value = std::getenv(PortVariableFor(name).c_str());
  *variable_set = value != nullptr && *value != '\0';
  if (*variable_set) {
    return value;
  }
  // The defaults name /dev; a test's folder stands in for it.
  const std::string path = DevicePathFor(name);
  return path.rfind("/dev/", 0) == 0 ? dev_root_ + path.substr(4) : path;
}

std::string PortInventory::Explain(State state) {
  switch (state) {
    case State::kReady:
      return "";
    case State::kMissing:
      return "missing: no such device (unplugged, or another name)";
    case State::kPermission:
      return "permission denied: add the user to the dialout group (then log in again)";
    case State::kBusy:
      return "busy: in use by another program";
    case State::kNotDevice:
      return "not a serial device";
    case State::kServer:
      return "a console server: reached when the window connects";
    case State::kNone:
      return "no device configured";
  }
  return "";
}

std::string PortInventory::StableName(const std::string& target,
                                      const std::string& fallback) const {
  if (target.empty()) {
    return fallback;
  }
  if (target.find("://") != std::string::npos) {
    return target;
  }
  const std::string device = Resolved(target);
  for (const auto& [link, behind] : ByIdLinks()) {
    if (!device.empty() && behind == device) {
      return link;
    }
  }
  return target;
}

std::vector<std::pair<std::string, std::string>> PortInventory::ByIdLinks() const {
  std::vector<std::pair<std::string, std::string>> links;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(dev_root_ + "/serial/by-id", error)) {
    links.emplace_back(entry.path().string(), Resolved(entry.path().string()));
  }
  std::sort(links.begin(), links.end());
  return links;
}

std::vector<PortInventory::Port> PortInventory::Ports() const {
  const auto by_id = ByIdLinks();
  std::vector<Port> ports;
  for (const std::string& name : AllPortNames()) {
    Port port;
    port.name = ShortPortName(name);
    port.variable = PortVariableFor(name);
    port.target = Target(name, &port.variable_set);
    port.resolved = port.target.empty() || IsServerUrl(port.target) ? "" : Resolved(port.target);
    struct stat info {};
    if (port.target.empty()) {
      port.state = State::kNone;
    } else if (IsServerUrl(port.target)) {
      port.state = State::kServer;
    } else if (port.resolved.empty() || stat(port.resolved.c_str(), &info) != 0) {
      port.state = State::kMissing;
    } else if (!S_ISCHR(info.st_mode)) {
      port.state = State::kNotDevice;
    } else if (access(port.resolved.c_str(), R_OK | W_OK) != 0) {
      port.state = State::kPermission;
    } else if (!(port.holder = Holder(port.resolved)).empty()) {
      port.state = State::kBusy;
    } else {
      port.state = State::kReady;
    }
    for (const auto& [link, device] : by_id) {
      if (!port.resolved.empty() && device == port.resolved) {
        port.by_id.push_back(fs::path(link).filename().string());
      }
    }
    ports.push_back(std::move(port));
  }
  return ports;
}

std::vector<PortInventory::Device> PortInventory::Devices() const {
  const std::vector<Port> ports = Ports();
  std::vector<Device> devices;
  std::vector<std::string> shown;  // devices listed under a by-id name already
  const auto add = [&](const std::string& path, const std::string& resolved) {
    Device device{path, resolved, "", ""};
    for (const Port& port : ports) {
      if (!resolved.empty() && port.resolved == resolved && device.used_by.empty()) {
        device.used_by = port.name;
      }
    }
    if (device.used_by.empty()) {
      const auto free = std::find_if(ports.begin(), ports.end(), [](const Port& port) {
        return !port.variable_set && port.name != "TELNET";
      });
      device.suggestion = (free != ports.end() ? free->variable : "PELORUS_COM1") + "=" + path;
    }
    devices.push_back(std::move(device));
    shown.push_back(resolved);
  };
  for (const auto& [link, resolved] : ByIdLinks()) {
    add(link, resolved);
  }
  std::vector<std::string> nodes;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(dev_root_, error)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind("ttyUSB", 0) == 0 || name.rfind("ttyACM", 0) == 0) {
      nodes.push_back(entry.path().string());
    }
  }
  std::sort(nodes.begin(), nodes.end());
  for (const std::string& node : nodes) {
    const std::string resolved = Resolved(node);
    if (std::find(shown.begin(), shown.end(), resolved) == shown.end()) {
      add(node, resolved);
    }
  }
  return devices;
}

void PortInventory::Print(std::ostream& out) const {
  out << "The window's ports" << (dev_root_ == "/dev" ? "" : " (" + dev_root_ + " for /dev)")
      << ":\n";
  for (const Port& port : Ports()) {
    out << "  " << port.name << std::string(8 - port.name.size(), ' ');
    if (port.variable_set) {
      out << port.variable << "=" << port.target;
    } else if (!port.target.empty()) {
      out << port.target << " (" << port.variable << " not set)";
    } else {
      out << port.variable << " not set";
    }
    if (!port.resolved.empty() && port.resolved != port.target) {
      out << " -> " << port.resolved;
    }
    out << ": " << (port.state == State::kReady ? "ready" : Explain(port.state));
    if (!port.holder.empty()) {
      out << ", " << port.holder;
    }
    out << '\n';
    for (const std::string& name : port.by_id) {
      out << "          by-id: " << name << '\n';
    }
  }
  out << "Serial devices on this machine:\n";
  const std::vector<Device> devices = Devices();
  if (devices.empty()) {
    out << "  none under " << dev_root_ << "/serial/by-id, " << dev_root_ << "/ttyUSB*, "
        << dev_root_ << "/ttyACM*\n";
  }
  for (const Device& device : devices) {
    out << "  " << device.path;
    if (!device.resolved.empty() && device.resolved != device.path) {
      out << " -> " << device.resolved;
    }
    out << ": " << (device.used_by.empty() ? device.suggestion : "used by " + device.used_by)
        << '\n';
  }
}

}  // namespace pelorus
