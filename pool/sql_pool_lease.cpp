// A station's steps on its addresses: the lease, with its token, and the marks of a lease.
#include <sys/random.h>

#include <cerrno>
#include <cstring>

#include "pool/sql_pool.h"
#include "pool/sql_transaction.h"

namespace pelorus::pool {
namespace {

constexpr const char* kOpenAddressSql =
    "SELECT address FROM pelorus_addresses WHERE pool = $1 AND station = $2"
    " AND state = 'leased' ORDER BY address LIMIT 1";

// A lease's token: 128 bits from the kernel's random source, as 32 hex digits. Empty (with
// *error) only when the kernel gives none.
std::string NewLeaseToken(std::string* error) {
  unsigned char bytes[16];
  std::size_t got = 0;
  while (got < sizeof bytes) {
    const ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
    if (n < 0 && errno != EINTR) {
      *error = std::string("no random bytes for a lease token: ") + std::strerror(errno);
      return "";
    }
    got += n > 0 ? static_cast<std::size_t>(n) : 0;
  }
  static const char kDigits[] = "0123456789abcdef";
  std::string token;
  for (const unsigned char byte : bytes) {
    token += kDigits[byte >> 4];
    token += kDigits[byte & 0xF];
  }
  return token;
}

}  // namespace

bool SqlPool::Lease(const std::string& name, const std::string& station, LeasedAddress* leased,
                    std::string* error) {
  if (station.empty()) {
    return Refuse("a lease needs a station name", error);
  }
  if (!UsableName("station", station, error)) {
    return false;
  }
  std::string why;
  const std::string token = NewLeaseToken(&why);
  if (token.empty()) {
    return Failed(why, error);
  }
  Mac48 given = 0;
  const bool leased_now = InTransaction(
      [&](Transaction& tx) {
        // Locking the pool's row first makes leases of one pool take turns: whatever runs at
        // once, each sees what the one before it committed.
        const auto pool =
            FindPool(tx, name, "first_address, last_address, next_address", /*lock=*/true);
        if (!pool) {
          return false;
        }
        // The station's leased address comes back to it, under the new lease: a mark of a
        // lease before this one is now refused.
        const auto open = tx.Query(kOpenAddressSql, {name, station});
        if (!open.empty()) {
          given = static_cast<Mac48>(Number(open[0][0]));
          return tx.Run("UPDATE pelorus_addresses SET lease_token = $2 WHERE address = $1",
                        {Param64(given), token});
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
          given = static_cast<Mac48>(Number(given_back[0][0]));
          return tx.Run(std::string("UPDATE pelorus_addresses SET state = 'leased', station = $2,"
                                    " lease_token = $3, leased_at = ") +
                            dialect_.now + " WHERE address = $1",
                        {Param64(given), station, token}) &&
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
        given = next;
        return tx.Run(std::string("INSERT INTO pelorus_addresses (address, pool, state, station,"
                                  " lease_token, leased_at) VALUES ($1, $2, 'leased', $3, $4, ") +
                          dialect_.now + ")",
                      {Param64(next), name, station, token}) &&
               Count(tx, name, "issued = issued + 1, next_address = " + std::to_string(next + 1));
      },
      error);
  if (leased_now) {
    *leased = {given, token};
  }
  return leased_now;
}

bool SqlPool::LockStationRow(Transaction& tx, Mac48 address, const std::string& station, Row* row) {
  const std::string shown = FormatMac48(address);
  const auto rows = tx.Query(std::string("SELECT state, station, port, verified_at, readback, pool,"
                                         " lease_token, written_at"
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

bool SqlPool::MarkWritten(const LeasedAddress& leased, const std::string& station,
                          const std::string& port, std::string* error) {
  const Mac48 address = leased.address;
  const std::string shown = FormatMac48(address);
  return InTransaction(
      [&](Transaction& tx) {
        Row row;
        if (!LockStationRow(tx, address, station, &row)) {
          return false;
        }
        const std::string current = Text(row[6]);
        const bool ours = leased.token.empty() || leased.token == current;
        switch (StateFromName(Text(row[0]))) {
          case AddressState::kVerified:
            return tx.Refuse(shown + " was written and verified already (" + Text(row[3]) +
                             "): it is never written again");
          case AddressState::kWritten:
            if (leased.token.empty()) {
              // Two scripts of one station hold one leased address: without a token, the
              // second mark cannot be told from a replay of the first.
              return tx.Refuse(shown + " was already written at " + Text(row[7]) + " through " +
                               Text(row[2]) + "; pass its --token to replay the mark");
            }
            if (!ours) {
              return tx.Refuse(shown + " was written under another lease of station " + station +
                               " (at " + Text(row[7]) + " through " + Text(row[2]) +
                               "): a written address is never written into another device");
            }
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
        if (!ours) {
          return tx.Refuse(shown +
                           " was leased again since: another lease of this station holds it");
        }
        return tx.Run(std::string("UPDATE pelorus_addresses SET state = 'written', port = $2,"
                                  " attempts = attempts + 1, written_at = ") +
                          dialect_.now + " WHERE address = $1",
                      {Param64(address), port}) &&
               Count(tx, Text(row[5]), "unconfirmed = unconfirmed + 1");
      },
      error);
}

bool SqlPool::MarkVerified(const LeasedAddress& leased, const std::string& station,
                           const std::string& readback, std::string* error) {
  const Mac48 address = leased.address;
  const std::string shown = FormatMac48(address);
  const std::string line = EscapeConsoleLine(readback);
  return InTransaction(
      [&](Transaction& tx) {
        Row row;
        if (!LockStationRow(tx, address, station, &row)) {
          return false;
        }
        const AddressState state = StateFromName(Text(row[0]));
        if (state != AddressState::kWritten && state != AddressState::kVerified) {
          return tx.Refuse(shown + " was never recorded as written, so it cannot be verified");
        }
        if (!leased.token.empty() && leased.token != Text(row[6])) {
          return tx.Refuse(shown + " was written under another lease of station " + station +
                           ": the device of this mark's lease did not get it");
        }
        if (state == AddressState::kVerified) {
          return Text(row[4]) == line || tx.Refuse(shown + " was verified already (" +
                                                   Text(row[3]) + ") with another read-back line");
        }
        return tx.Run(std::string("UPDATE pelorus_addresses SET state = 'verified', readback = $2,"
                                  " verified_at = ") +
                          dialect_.now + " WHERE address = $1",
                      {Param64(address), line}) &&
               Count(tx, Text(row[5]), "unconfirmed = unconfirmed - 1, verified = verified + 1");
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
