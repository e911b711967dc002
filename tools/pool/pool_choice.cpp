#include "tools/pool/pool_choice.h"

#include <algorithm>
#include <vector>

namespace pelorus::pool {
namespace {

// "A, B, C"; false with *error when the store cannot say.
bool ListPools(AddressPool& pool, std::vector<std::string>* names, std::string* listed,
               std::string* error) {
  if (!pool.PoolNames(names, error)) {
    return false;
  }
  listed->clear();
  for (const std::string& name : *names) {
    *listed += (listed->empty() ? "" : ", ") + name;
  }
  return true;
}

}  // namespace

Outcome PoolOfAddress(AddressPool& pool, Mac48 address, const std::string& given, std::string* name,
                      std::string* error) {
  const std::string shown = FormatMac48(address);
  AddressRecord record;
  std::string why;
  if (pool.Check(address, &record, &why)) {
    if (!given.empty() && given != record.pool) {
      *error =
          pool.Where() + ": " + shown + " lies in pool " + record.pool + ", not in pool " + given;
      return Outcome::kRefused;
    }
    *name = record.pool;
    return Outcome::kDone;
  }
  if (!pool.Refused()) {
    *error = why;
    return Outcome::kUnavailable;
  }
  std::vector<std::string> names;
  std::string listed;
  if (!ListPools(pool, &names, &listed, error)) {
    return Outcome::kUnavailable;
  }
  *error = pool.Where() + ": " + shown +
           " lies in no pool of this store (its pools: " + (listed.empty() ? "none" : listed) + ")";
  return Outcome::kRefused;
}

Outcome PoolOfStore(AddressPool& pool, const std::string& given, std::string* name,
                    std::string* error) {
  if (!given.empty()) {
    *name = given;
    return Outcome::kDone;
  }
  std::vector<std::string> names;
  std::string listed;
  if (!ListPools(pool, &names, &listed, error)) {
    return Outcome::kUnavailable;
  }
  // Before a store could do without --name, a command left without it took the pool named
  // default: scripts of that time keep working.
  const bool has_default =
      std::find(names.begin(), names.end(), AddressPool::kDefaultName) != names.end();
  if (names.size() == 1 || has_default) {
    *name = names.size() == 1 ? names[0] : AddressPool::kDefaultName;
    return Outcome::kDone;
  }
  *error =
      pool.Where() + (names.empty() ? ": holds no pool (make one with: pelorus-pool create)"
                                    : ": holds the pools " + listed + ": name one with --name");
  return Outcome::kRefused;
}

}  // namespace pelorus::pool
