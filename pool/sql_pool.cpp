#include "pool/sql_pool.h"

#include "pool/sql_transaction.h"

#include <utility>

namespace pelorus::pool {
namespace {

// An address row given back: free, of no station, with nothing done to it. The last release
// of a written address stays on it.
constexpr const char* kClearedRow =
    "state = 'free', station = '', port = '', leased_at = '', written_at = '', verified_at = '',"
    " attempts = 0, readback = '', lease_token = ''";

}  // namespace

const char* StateName(AddressState state) {
  switch (state) {
    case AddressState::kFree:
      return "free";
    case AddressState::kLeased:
      return "leased";
    case AddressState::kWritten:
      return "written";
    case AddressState::kVerified:
      return "verified";
  }
  return "?";
}

SqlPool::SqlPool(std::string where, Dialect dialect)
    : where_(std::move(where)), dialect_(dialect) {}

std::string SqlPool::Fail(const std::string& why) const {
  return where_ + ": " + why;
}

bool SqlPool::Refuse(const std::string& why, std::string* error) {
  refused_ = true;
  *error = Fail(why);
  return false;
}

bool SqlPool::Failed(const std::string& why, std::string* error) {
  refused_ = false;
  *error = Fail(why);
  return false;
}

bool SqlPool::UsableName(const std::string& what, const std::string& name, std::string* error) {
  const std::string problem = NameProblem(what, name);
  return problem.empty() || Refuse(problem, error);
}

bool SqlPool::Create(const std::string& name, Mac48 first, Mac48 last, std::string* error) {
  if (name.empty()) {
    return Refuse("a pool needs a name", error);
  }
  if (!UsableName("pool", name, error)) {
    return false;
  }
  if (first > last || last > kMac48Last) {
    return Refuse("the range " + FormatMac48(first) + " ... " + FormatMac48(last) +
                      " is empty: the first address must not come after the last",
                  error);
  }
  // The first octet changes only across a 2^40 boundary, and one of two neighbouring octets
  // is odd: a range is free of group addresses exactly when both ends share an even one.
  if (IsGroupAddress(first) || (first >> 40) != (last >> 40)) {
    return Refuse("the range " + FormatMac48(first) + " ... " + FormatMac48(last) +
                      " holds group (multicast) addresses, which no device may take: the first "
                      "octet must be even and the same at both ends",
                  error);
  }
  return InTransaction(
      [&](Transaction& tx) {
        if (*dialect_.lock_pools != '\0') {
          tx.Run(dialect_.lock_pools);
        }
        if (!tx.Query("SELECT name FROM pelorus_pools WHERE name = $1", {name}).empty()) {
          return tx.Refuse("a pool named " + name + " exists already");
        }
        const auto overlap = tx.Query(
            "SELECT name, first_address, last_address FROM pelorus_pools"
            " WHERE first_address <= $2 AND last_address >= $1 ORDER BY first_address",
            {Param64(first), Param64(last)});
        if (!overlap.empty()) {
          const Row& other = overlap[0];
          return tx.Refuse("the range " + FormatMac48(first) + " ... " + FormatMac48(last) +
                           " overlaps pool " + Text(other[0]) + " (" +
                           FormatMac48(static_cast<Mac48>(Number(other[1]))) + " ... " +
                           FormatMac48(static_cast<Mac48>(Number(other[2]))) + ")");
        }
        return tx.Run(std::string("INSERT INTO pelorus_pools (name, first_address, last_address, "
                                  "next_address, created_at) VALUES ($1, $2, $3, $2, ") +
                          dialect_.now + ")",
                      {name, Param64(first), Param64(last)});
      },
      error);
}

std::optional<SqlPool::Row> SqlPool::FindPool(Transaction& tx, const std::string& name,
                                              const char* columns, bool lock) {
  const auto rows =
      tx.Query(std::string("SELECT ") + columns + " FROM pelorus_pools WHERE name = $1" +
                   (lock ? dialect_.lock_row : ""),
               {name});
  if (tx.failed()) {
    return std::nullopt;
  }
  if (rows.empty()) {
    tx.Refuse("no pool named " + name);
    return std::nullopt;
  }
  return rows[0];
}

bool SqlPool::Count(Transaction& tx, const std::string& pool, const std::string& change) {
  return tx.Run("UPDATE pelorus_pools SET " + change + " WHERE name = $1", {pool});
}

bool SqlPool::LockAddressRow(Transaction& tx, Mac48 address, AddressState* state, Row* row) {
  const auto rows = tx.Query(
      std::string("SELECT state, station, pool FROM pelorus_addresses WHERE address = $1") +
          dialect_.lock_row,
      {Param64(address)});
  if (tx.failed()) {
    return false;
  }
  *state = rows.empty() ? AddressState::kFree : StateFromName(Text(rows[0][0]));
  *row = rows.empty() ? Row(3) : rows[0];
  return true;
}

bool SqlPool::Release(Mac48 address, std::string* error) {
  const std::string shown = FormatMac48(address);
  return InTransaction(
      [&](Transaction& tx) {
        Row row;
        AddressState state = AddressState::kFree;
        if (!LockAddressRow(tx, address, &state, &row)) {
          return false;
        }
        if (state == AddressState::kFree) {
          return tx.Refuse(shown + " is not leased: there is nothing to give back");
        }
        if (state != AddressState::kLeased) {
          return tx.Refuse(shown + " was " + StateName(state) + " by station " + Text(row[1]) +
                           ": only an address that never went into a device can be given back");
        }
        return tx.Run(std::string("UPDATE pelorus_addresses SET ") + kClearedRow +
                          " WHERE address = $1",
                      {Param64(address)}) &&
               Count(tx, Text(row[2]), "issued = issued - 1");
      },
      error);
}

bool SqlPool::ReleaseUnconfirmed(Mac48 address, const std::string& who, const std::string& reason,
                                 std::string* error) {
  const std::string shown = FormatMac48(address);
  if (who.empty()) {
    return Refuse("giving back " + shown + " needs the name of who checked the board", error);
  }
  return InTransaction(
      [&](Transaction& tx) {
        Row row;
        AddressState state = AddressState::kFree;
        if (!LockAddressRow(tx, address, &state, &row)) {
          return false;
        }
        if (state != AddressState::kWritten) {
          return tx.Refuse(shown + " is " + StateName(state) +
                           ": only a written address whose device never confirmed it can be "
                           "given back this way");
        }
        return tx.Run(std::string("INSERT INTO pelorus_releases (address, pool, station, port,"
                                  " written_at, attempts, released_at, released_by, reason)"
                                  " SELECT address, pool, station, port, written_at, attempts, ") +
                          dialect_.now + ", $2, $3 FROM pelorus_addresses WHERE address = $1",
                      {Param64(address), who, reason}) &&
               tx.Run(std::string("UPDATE pelorus_addresses SET ") + kClearedRow +
                          ", released_by = $2, release_reason = $3, released_at = " + dialect_.now +
                          " WHERE address = $1",
                      {Param64(address), who, reason}) &&
               Count(tx, Text(row[2]),
                     "issued = issued - 1, unconfirmed = unconfirmed - 1, released = released + 1");
      },
      error);
}

}  // namespace pelorus::pool
