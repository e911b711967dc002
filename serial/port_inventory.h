#pragma once

#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace pelorus {

// Which device each of the window's ports reaches, and which serial devices this machine has:
// what `pelorus --list-ports` prints. It only looks (stat, access, the by-id links and who
// holds a device open in /proc): nothing is opened, so no board is reset by a probe.
class PortInventory {
 public:
  // Where a port's device stands for this user.
  enum class State {
    kReady,       // exists and this user may open it, and nobody holds it
    kMissing,     // no such device
    kPermission,  // this user may not read and write it
    kBusy,        // another program has it open
    kNotDevice,   // the path is there but is no character device (a terminal)
    kServer,      // a console server's URL: reached only when the window connects
    kNone,        // no device configured (TELNET without its variable)
  };

  struct Port {
    std::string name;      // "COM1" ... "COM5", "TELNET"
    std::string variable;  // "PELORUS_COM1" ...
    bool variable_set = false;
    std::string target;    // the device path or URL the port maps to
    std::string resolved;  // the device behind the target's links; empty for none
    State state = State::kMissing;
    std::string holder;              // with kBusy: "pid 1234 (minicom)"
    std::vector<std::string> by_id;  // names under <dev>/serial/by-id that point at it
  };

  struct Device {
    std::string path;        // as found: a by-id link, or <dev>/ttyUSB0, <dev>/ttyACM1
    std::string resolved;    // the device node behind it
    std::string used_by;     // the port that maps it ("COM1"), or empty
    std::string suggestion;  // the variable line that would use it, "PELORUS_COM2=..."
  };

  // dev_root stands for /dev (tests give a folder of their own); the ports' defaults
  // (/dev/ttyS0 ...) are read below it as well.
  explicit PortInventory(std::string dev_root = "/dev");

  std::vector<Port> Ports() const;
  std::vector<Device> Devices() const;
  // Both lists as text for people, one line a port or device.
  void Print(std::ostream& out) const;

  // "permission denied: add the user to the dialout group", ... ; empty for kReady.
  static std::string Explain(State state);

  // The name that keeps meaning the same device: for a device path, the by-id link that
  // points at the same device where there is one (it survives re-enumeration), else the path;
  // a console server's URL as it is; for an empty target, fallback.
  std::string StableName(const std::string& target, const std::string& fallback) const;

 private:
  std::string Target(const std::string& name, bool* variable_set) const;
  // The by-id links and the device behind each, in name order.
  std::vector<std::pair<std::string, std::string>> ByIdLinks() const;

  std::string dev_root_;
};

}  // namespace pelorus
