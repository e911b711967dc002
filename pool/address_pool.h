#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "programming/mac48.h"

namespace pelorus::pool {

// Where an address stands. An address is free until it is leased to a station; a leased
// address may be given back (release) until it has been written into a device; once written
// it is never issued to another station, and once verified never written again.
enum class AddressState { kFree, kLeased, kWritten, kVerified };
// "free", "leased", "written", "verified".
const char* StateName(AddressState state);

// One address's line in the production record. Times are UTC, ISO 8601 with milliseconds
// ("2026-12-06T09:41:07.250Z"), empty where the step has not happened.
struct AddressRecord {
  Mac48 address = 0;
  std::string pool;  // the pool whose range holds it
  AddressState state = AddressState::kFree;
  std::string station;  // the station it is (or was last) leased to
  std::string port;     // the port it was last written through, as the station named it
  std::string leased_at;
  std::string written_at;  // the last attempt
  std::string verified_at;
  int attempts = 0;      // address-write commands recorded
  std::string readback;  // the device's line that showed the address
};

struct PoolStatus {
  std::string name;
  Mac48 first = 0;
  Mac48 last = 0;
  std::uint64_t total = 0;     // addresses in the range
  std::uint64_t issued = 0;    // leased, written or verified
  std::uint64_t verified = 0;  // written and read back
  std::uint64_t written = 0;   // written, never verified
  std::uint64_t leased = 0;    // leased, never written
  std::uint64_t free = 0;      // never issued (or given back)
};

// The address pool and its production record: one store of one or more named pools, each a
// range of addresses that never overlaps another. The store (not the caller) guarantees that
// no address is ever issued to two stations, whatever runs at once: every step is one
// transaction, and a step that fails changes nothing.
//
// Every failure returns false with a one-line *error that names the location (a server's
// password left out) and the reason. Not thread-safe: one object per thread or process.
class AddressPool {
 public:
  static constexpr const char* kDefaultName = "default";
  // How long a step waits for a store that another station holds locked before it fails.
  static constexpr int kLockWaitMs = 5000;
  // How long connecting to a server may take before it fails (seconds).
  static constexpr int kConnectTimeoutS = 5;

  // Opens the store that location names: a postgresql:// or postgres:// URI, or a libpq
  // "key=value ..." string, is a PostgreSQL server; anything else is the path of a SQLite
  // file. Only with create is a missing file made (and only for the SQLite store). Null with
  // *error when the store cannot be reached, is not a pool store, or has a newer schema.
  static std::unique_ptr<AddressPool> Open(const std::string& location, bool create,
                                           std::string* error);

  virtual ~AddressPool() = default;

  // The location as shown to people.
  virtual const std::string& Where() const = 0;
  // Whether the last step that failed was refused by the pool's rules (an address in another
  // state or of another station, a used-up or unknown pool), rather than failed by the store
  // (unreachable, locked, broken): only the latter may succeed when tried again.
  virtual bool Refused() const = 0;

  // Adds the pool name with the range first ... last (first <= last, no group address in
  // it); refused when the name exists or the range overlaps another pool's.
  virtual bool Create(const std::string& name, Mac48 first, Mac48 last, std::string* error) = 0;

  // The station's own open address in the pool (leased, or written and not verified) if it
  // has one; otherwise the lowest free address, now leased to the station.
  virtual bool Lease(const std::string& name, const std::string& station, Mac48* address,
                     std::string* error) = 0;
  // Records that the address-write command for address is about to go out through port, one
  // more attempt. The address must be leased to station (or written by it before). Durable
  // when it returns.
  virtual bool MarkWritten(Mac48 address, const std::string& station, const std::string& port,
                           std::string* error) = 0;
  // Records that the device showed address (in readback) after station wrote it. Durable
  // when it returns; the station's next lease is a new address.
  virtual bool MarkVerified(Mac48 address, const std::string& station, const std::string& readback,
                            std::string* error) = 0;
  // Gives back an address that was leased and never written; refuses any other.
  virtual bool Release(Mac48 address, std::string* error) = 0;

  // The station's open address in the pool (leased, or written and not verified), or nullopt
  // when it has none; the store is only read.
  virtual bool OpenAddress(const std::string& name, const std::string& station,
                           std::optional<Mac48>* address, std::string* error) = 0;

  // Where one address stands; refused for an address that no pool's range holds.
  virtual bool Check(Mac48 address, AddressRecord* record, std::string* error) = 0;
  virtual bool Status(const std::string& name, PoolStatus* status, std::string* error) = 0;
  // Every address of the pool that was ever issued, in address order.
  virtual bool Export(const std::string& name, const std::function<void(const AddressRecord&)>& row,
                      std::string* error) = 0;
};

}  // namespace pelorus::pool
