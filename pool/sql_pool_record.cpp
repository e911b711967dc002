// The pool's record as people read it: one address, a pool's counts, the whole record.
#include "pool/sql_pool.h"
#include "pool/sql_transaction.h"

namespace pelorus::pool {

namespace {

constexpr const char* kRecordColumns =
    "address, pool, state, station, port, leased_at, written_at, verified_at, attempts, readback,"
    " released_at, released_by, release_reason";

AddressRecord RecordFrom(const std::vector<std::optional<std::string>>& row) {
  AddressRecord record;
  record.address = static_cast<Mac48>(Number(row[0]));
  record.pool = Text(row[1]);
  record.state = StateFromName(Text(row[2]));
  record.station = Text(row[3]);
  record.port = Text(row[4]);
  record.leased_at = Text(row[5]);
  record.written_at = Text(row[6]);
  record.verified_at = Text(row[7]);
  record.attempts = static_cast<int>(Number(row[8]));
  record.readback = Text(row[9]);
  record.released_at = Text(row[10]);
  record.released_by = Text(row[11]);
  record.release_reason = Text(row[12]);
  return record;
}

}  // namespace

bool SqlPool::Check(Mac48 address, AddressRecord* record, std::string* error) {
  const std::string shown = FormatMac48(address);
  return InTransaction(
      [&](Transaction& tx) {
        const auto pool = tx.Query(
            "SELECT name FROM pelorus_pools WHERE first_address <= $1 AND last_address >= $1",
            {Param64(address)});
        if (tx.failed()) {
          return false;
        }
        if (pool.empty()) {
          return tx.Refuse(shown + " lies in no pool of this store");
        }
        const auto rows = tx.Query(
            std::string("SELECT ") + kRecordColumns + " FROM pelorus_addresses WHERE address = $1",
            {Param64(address)});
        *record = rows.empty() ? AddressRecord{} : RecordFrom(rows[0]);
        record->address = address;
        record->pool = Text(pool[0][0]);
        return !tx.failed();
      },
      error);
}

bool SqlPool::Status(const std::string& name, PoolStatus* status, std::string* error) {
  return InTransaction(
      [&](Transaction& tx) {
        const auto pool = FindPool(tx, name, "first_address, last_address");
        if (!pool) {
          return false;
        }
        *status = PoolStatus{};
        status->name = name;
        status->first = static_cast<Mac48>(Number((*pool)[0]));
        status->last = static_cast<Mac48>(Number((*pool)[1]));
        status->total = status->last - status->first + 1;
        const auto counts = tx.Query(
            "SELECT state, COUNT(*) FROM pelorus_addresses WHERE pool = $1 GROUP BY state", {name});
        for (const Row& row : counts) {
          const auto count = static_cast<std::uint64_t>(Number(row[1]));
          switch (StateFromName(Text(row[0]))) {
            case AddressState::kLeased:
              status->leased = count;
              break;
            case AddressState::kWritten:
              status->written = count;
              break;
            case AddressState::kVerified:
              status->verified = count;
              break;
            case AddressState::kFree:
              break;
          }
        }
        status->issued = status->leased + status->written + status->verified;
        status->free = status->total - status->issued;
        const auto released =
            tx.Query("SELECT COUNT(*) FROM pelorus_releases WHERE pool = $1", {name});
        status->released =
            released.empty() ? 0 : static_cast<std::uint64_t>(Number(released[0][0]));
        return !tx.failed();
      },
      error);
}

bool SqlPool::Export(const std::string& name, const std::function<void(const AddressRecord&)>& row,
                     std::string* error) {
  std::vector<Row> rows;
  const bool read = InTransaction(
      [&](Transaction& tx) {
        if (!FindPool(tx, name, "name")) {
          return false;
        }
        rows = tx.Query(std::string("SELECT ") + kRecordColumns +
                            " FROM pelorus_addresses WHERE pool = $1"
                            " AND (state <> 'free' OR released_at <> '') ORDER BY address",
                        {name});
        return !tx.failed();
      },
      error);
  if (read) {
    for (const Row& r : rows) {
      row(RecordFrom(r));
    }
  }
  return read;
}

bool SqlPool::Unconfirmed(const std::string& name, const std::string& station,
                          std::vector<AddressRecord>* records, std::string* error) {
  return InTransaction(
      [&](Transaction& tx) {
        records->clear();
        if (!FindPool(tx, name, "name")) {
          return false;
        }
        std::vector<Param> params = {name};
        std::string sql = std::string("SELECT ") + kRecordColumns +
                          " FROM pelorus_addresses WHERE pool = $1 AND state = 'written'";
        if (!station.empty()) {
          sql += " AND station = $2";
          params.emplace_back(station);
        }
        for (const Row& r : tx.Query(sql + " ORDER BY address", params)) {
          records->push_back(RecordFrom(r));
        }
        return !tx.failed();
      },
      error);
}

}  // namespace pelorus::pool
