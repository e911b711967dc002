#include "pool/sql_pool.h"

#include "pool/sql_transaction.h"

#include <utility>

namespace pelorus::pool {
namespace {

// An address row given back: free, of no station, with nothing done to it. The last release
// of a written address stays on it.
constexpr const char* kClearedRow =
    "state = 'free', station = '', port = '', leased_at = '', written_at = '', verified_at = '',"
    " attempts = 0, readback = ''";

constexpr const char* kOpenAddressSql =
    "SELECT address FROM pelorus_addresses WHERE pool = $1 AND station = $2"
    " AND state = 'leased' ORDER BY address LIMIT 1";

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
  refused_ = true;
  if (name.empty()) {
    *error = Fail("a pool needs a name");
    return false;
  }
  if (!UsableName("pool", name, error)) {
    return false;
  }
  if (first > last || last > kMac48Last) {
    *error = Fail("the range " + FormatMac48(first) + " ... " + FormatMac48(last) +
                  " is empty: the first address must not come after the last");
    return false;
  }
  // The first octet changes only across a 2^40 boundary, and one of two neighbouring octets
  // is odd: a range is free of group addresses exactly when both ends share an even one.
  if (IsGroupAddress(first) || (first >> 40) != (last >> 40)) {
    *error = Fail("the range " + FormatMac48(first) + " ... " + FormatMac48(last) +
                  " holds group (multicast) addresses, which no device may take: the first "
                  "octet must be even and the same at both ends");
    return false;
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

bool SqlPool::Lease(const std::string& name, const std::string& station, Mac48* address,
                    std::string* error) {
  if (station.empty()) {
    refused_ = true;
    *error = Fail("a lease needs a station name");
    return false;
  }
  if (!UsableName("station", station, error)) {
    return false;
  }
  return InTransaction(
      [&](Transaction& tx) {
        // Locking the pool's row first makes leases of one pool take turns: whatever runs at
        // once, each sees what the one before it committed.
        const auto pool =
            FindPool(tx, name, "first_address, last_address, next_address", /*lock=*/true);
        if (!pool) {
          return false;
        }
        const auto open = tx.Query(kOpenAddressSql, {name, station});
        if (!open.empty()) {
          *address = static_cast<Mac48>(Number(open[0][0]));
          return true;
        }
        // Only the free rows are in this index, so finding one costs the same however
        // long the record is.
        const auto given_back = tx.Query(
            "SELECT address FROM pelorus_addresses WHERE pool = $1 AND state = 'free'"
            " ORDER BY address LIMIT 1",
            {name});
        if (tx.failed()) {
          return false;
        }
        if (!given_back.empty()) {
          *address = static_cast<Mac48>(Number(given_back[0][0]));
          return tx.Run(std::string("UPDATE pelorus_addresses SET state = 'leased', station = $2,"
                                    " leased_at = ") +
                            dialect_.now + " WHERE address = $1",
                        {Param64(*address), station}) &&
                 Count(tx, name, "issued = issued + 1");
        }
        const Mac48 first = static_cast<Mac48>(Number((*pool)[0]));
        const Mac48 last = static_cast<Mac48>(Number((*pool)[1]));
        const Mac48 next = static_cast<Mac48>(Number((*pool)[2]));
        if (next > last) {
          return tx.Refuse("pool " + name + " is used up: all " + std::to_string(last - first + 1) +
                           " addresses (" + FormatMac48(first) + " ... " + FormatMac48(last) +
                           ") are issued");
        }
        *address = next;
        return tx.Run(std::string("INSERT INTO pelorus_addresses (address, pool, state, station,"
                                  " leased_at) VALUES ($1, $2, 'leased', $3, ") +
                          dialect_.now + ")",
                      {Param64(next), name, station}) &&
               Count(tx, name, "issued = issued + 1, next_address = " + std::to_string(next + 1));
      },
      error);
}

bool SqlPool::LockStationRow(Transaction& tx, Mac48 address, const std::string& station, Row* row) {
  const std::string shown = FormatMac48(address);
  const auto rows = tx.Query(std::string("SELECT state, station, port, verified_at, readback, pool"
                                         " FROM pelorus_addresses WHERE address = $1") +
                                 dialect_.lock_row,
                             {Param64(address)});
  if (tx.failed()) {
    return false;
  }
  if (rows.empty() || StateFromName(Text(rows[0][0])) == AddressState::kFree) {
    return tx.Refuse(shown + " is not leased to any station: lease it first");
  }
  if (Text(rows[0][1]) != station) {
    return tx.Refuse(shown + " belongs to station " + Text(rows[0][1]) + ", not to " + station);
  }
  *row = rows[0];
  return true;
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

bool SqlPool::MarkWritten(Mac48 address, const std::string& station, const std::string& port,
                          std::string* error) {
  const std::string shown = FormatMac48(address);
  return InTransaction(
      [&](Transaction& tx) {
        Row row;
        if (!LockStationRow(tx, address, station, &row)) {
          return false;
        }
        switch (StateFromName(Text(row[0]))) {
          case AddressState::kVerified:
            return tx.Refuse(shown + " was written and verified already (" + Text(row[3]) +
                             "): it is never written again");
          case AddressState::kWritten:
            // The same mark again is a replay of one whose acknowledgement was lost.
            if (Text(row[2]) == port) {
              return true;
            }
            return tx.Refuse(shown + " was written through port " + Text(row[2]) + ", not " + port +
                             ": a written address is never written into another device");
          case AddressState::kLeased:
          case AddressState::kFree:
            break;
        }
        return tx.Run(std::string("UPDATE pelorus_addresses SET state = 'written', port = $2,"
                                  " attempts = attempts + 1, written_at = ") +
                          dialect_.now + " WHERE address = $1",
                      {Param64(address), port}) &&
               Count(tx, Text(row[5]), "unconfirmed = unconfirmed + 1");
      },
      error);
}

bool SqlPool::MarkVerified(Mac48 address, const std::string& station, const std::string& readback,
                           std::string* error) {
  const std::string shown = FormatMac48(address);
  const std::string line = EscapeConsoleLine(readback);
  return InTransaction(
      [&](Transaction& tx) {
        Row row;
        if (!LockStationRow(tx, address, station, &row)) {
          return false;
        }
        switch (StateFromName(Text(row[0]))) {
          case AddressState::kLeased:
          case AddressState::kFree:
            return tx.Refuse(shown + " was never recorded as written, so it cannot be verified");
          case AddressState::kVerified:
            return Text(row[4]) == line ||
                   tx.Refuse(shown + " was verified already (" + Text(row[3]) +
                             ") with another read-back line");
          case AddressState::kWritten:
            break;
        }
        return tx.Run(std::string("UPDATE pelorus_addresses SET state = 'verified', readback = $2,"
                                  " verified_at = ") +
                          dialect_.now + " WHERE address = $1",
                      {Param64(address), line}) &&
               Count(tx, Text(row[5]), "unconfirmed = unconfirmed - 1, verified = verified + 1");
      },
      error);
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

bool SqlPool::OpenAddress(const std::string& name, const std::string& station,
                          std::optional<Mac48>* address, std::string* error) {
  return InTransaction(
      [&](Transaction& tx) {
        if (!FindPool(tx, name, "name")) {
          return false;
        }
        const auto open = tx.Query(kOpenAddressSql, {name, station});
        *address = open.empty() ? std::nullopt
                                : std::optional<Mac48>(static_cast<Mac48>(Number(open[0][0])));
        return !tx.failed();
      },
      error, Access::kRead);
}

}  // namespace pelorus::pool
