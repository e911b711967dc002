// The pool's record as people read it: one address, a pool's counts, the whole record. Each
// only reads the store.
#include "pool/sql_pool.h"
#include "pool/sql_transaction.h"

namespace pelorus::pool {

namespace {

constexpr const char* kRecordColumns =
    "address, pool, state, station, port, leased_at, written_at, verified_at, attempts, readback,"
    " released_at, released_by, release_reason";

// Copies into the record's own strings, so that a record filled row after row allocates only
// while its fields grow.
void Assign(const std::optional<std::string>& text, std::string* field) {
  if (text) {
    field->assign(*text);
  } else {
    field->clear();
  }
}

void Fill(const std::vector<std::optional<std::string>>& row, AddressRecord* record) {
  record->address = static_cast<Mac48>(Number(row[0]));
  Assign(row[1], &record->pool);
  record->state = StateFromName(Text(row[2]));
  Assign(row[3], &record->station);
  Assign(row[4], &record->port);
  Assign(row[5], &record->leased_at);
  Assign(row[6], &record->written_at);
  Assign(row[7], &record->verified_at);
  record->attempts = static_cast<int>(Number(row[8]));
  Assign(row[9], &record->readback);
  Assign(row[10], &record->released_at);
  Assign(row[11], &record->released_by);
  Assign(row[12], &record->release_reason);
}

AddressRecord RecordFrom(const std::vector<std::optional<std::string>>& row) {
  AddressRecord record;
  Fill(row, &record);
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
      error, Access::kRead);
}

bool SqlPool::PoolNames(std::vector<std::string>* names, std::string* error) {
  return InTransaction(
      [&](Transaction& tx) {
        names->clear();
        for (const Row& r : tx.Query("SELECT name FROM pelorus_pools ORDER BY name")) {
          names->push_back(Text(r[0]));
        }
        return !tx.failed();
      },
      error, Access::kRead);
}

bool SqlPool::Status(const std::string& name, PoolStatus* status, std::string* error) {
  return InTransaction(
      [&](Transaction& tx) {
        const auto pool = FindPool(
            tx, name, "first_address, last_address, issued, unconfirmed, verified, released");
        if (!pool) {
          return false;
        }
        const auto count = [&](std::size_t column) {
          return static_cast<std::uint64_t>(Number((*pool)[column]));
        };
        *status = PoolStatus{};
        status->name = name;
        status->first = static_cast<Mac48>(count(0));
        status->last = static_cast<Mac48>(count(1));
        status->total = status->last - status->first + 1;
        status->issued = count(2);
        status->written = count(3);
        status->verified = count(4);
        status->released = count(5);
        status->leased = status->issued - status->written - status->verified;
        status->free = status->total - status->issued;
        return true;
      },
      error, Access::kRead);
}

bool SqlPool::Export(const std::string& name, const RecordFilter& filter,
                     const std::function<void(const AddressRecord&)>& row, std::string* error) {
  return InTransaction(
      [&](Transaction& tx) {
        const auto pool = FindPool(tx, name, "first_address, last_address");
        if (!pool) {
          return false;
        }
        // The pool's range, rather than its name, picks its rows: the address index then
        // gives them in order, with nothing to sort.
        std::vector<Param> params = {Number((*pool)[0]), Number((*pool)[1])};
        std::string sql = std::string("SELECT ") + kRecordColumns +
                          " FROM pelorus_addresses WHERE address >= $1 AND address <= $2"
                          " AND (state <> 'free' OR released_at <> '')";
        if (!filter.station.empty()) {
          params.emplace_back(filter.station);
          sql += " AND station = $" + std::to_string(params.size());
        }
        if (!filter.since.empty()) {
          params.emplace_back(filter.since);
          const std::string since = "$" + std::to_string(params.size());
          sql += " AND (leased_at >= " + since + " OR written_at >= " + since +
                 " OR verified_at >= " + since + " OR released_at >= " + since + ")";
        }
        AddressRecord record;
        return tx.Stream(sql + " ORDER BY address", params, [&](const Row& r) {
          Fill(r, &record);
          row(record);
        });
      },
      error, Access::kRead);
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
      error, Access::kRead);
}

}  // namespace pelorus::pool
