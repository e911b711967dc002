#pragma once

#include <memory>
#include <optional>
#include <string>

#include "pool/address_pool.h"

namespace pelorus {

// The window's end of the address pool: which pool, which station this window is, the
// station's leases and marks, and what the status line says. A window with no pool has none
// of this and keeps its addresses in memory.
//
// Every step goes to the store at once and is on record when it returns; on failure the
// *error names the pool's location and the store's reason. A success that the store failed to
// put on record is remembered and put on record before the next lease, so the station never
// leases that address again as if no device had taken it.
class PoolStation {
 public:
  struct Config {
    std::string location;
    std::string name = pool::AddressPool::kDefaultName;
    std::string station;  // empty: the host's name and the port's, e.g. "bench3/COM1"
  };

  // Opens the pool and checks that it exists; null with *error otherwise.
  static std::unique_ptr<PoolStation> Open(const Config& config, std::string* error);

  // The port this window's runs use ("COM1" ... "COM5", "TELNET"): it names the station
  // unless the configuration does.
  void SetPort(const std::string& port);
  const std::string& Station() const { return station_; }
  const std::string& Name() const { return config_.name; }

  // The station's open address, if it has one (leased, or written and never verified); the
  // store is only read.
  bool Current(std::optional<Mac48>* address, std::string* error);
  bool Lease(Mac48* address, std::string* error);
  bool MarkWritten(Mac48 address, const std::string& port, std::string* error);
  bool MarkVerified(Mac48 address, const std::string& readback, std::string* error);

  // "pool LINE-A: 1,234 / 4,096 used · this station 17": the addresses issued, the pool's
  // size and the devices this station verified since the window opened.
  std::string StatusLine();

 private:
  PoolStation(Config config, std::unique_ptr<pool::AddressPool> pool);
  std::string Fail(const std::string& what, const std::string& error) const;

  Config config_;
  std::unique_ptr<pool::AddressPool> pool_;
  std::string host_;
  std::string station_;
  int verified_ = 0;
  struct Verification {
    Mac48 address;
    std::string readback;
  };
  std::optional<Verification> unrecorded_;
};

}  // namespace pelorus
