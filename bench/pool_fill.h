#pragma once

#include <string>

#include "pool_store.h"

namespace pelorus::bench {

// What a store that has lived long holds, made straight in its tables: count addresses after
// the ones issued, verified on 2026-12-01 by one of eight stations ("fill0" ... "fill7"), the
// pool's counters moved on with them. readback is each one's read-back as an SQL expression of
// the store's kind ("sqlite" or "postgres"), over the address p.next_address + i.
inline bool FillVerified(const std::string& kind, const testing::PoolStore& store, long count,
                         const std::string& readback) {
  const std::string columns =
      "INSERT INTO pelorus_addresses (address, pool, state, station, port, leased_at,"
      " written_at, verified_at, attempts, readback) SELECT p.next_address + i, p.name,"
      " 'verified', 'fill' || (i % 8), 'COM1', '2026-12-01T08:00:00.000Z',"
      " '2026-12-01T08:00:01.500Z', '2026-12-01T08:00:02.250Z', 1, " +
      readback;
  const std::string counts = "UPDATE pelorus_pools SET next_address = next_address + " +
                             std::to_string(count) + ", issued = issued + " +
                             std::to_string(count) + ", verified = verified + " +
                             std::to_string(count) + ";";
  const std::string last = std::to_string(count - 1);
  if (kind == "sqlite") {
    // Only new pages: a rollback journal without sync costs nothing; the pool takes the file
    // back to its write-ahead log when it opens it.
    return store.Sql(
        "PRAGMA journal_mode = DELETE; PRAGMA synchronous = OFF; BEGIN; WITH RECURSIVE n(i) AS "
        "(SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < " +
        last + ") " + columns + " FROM n, pelorus_pools p; " + counts + " COMMIT;");
  }
  // A store that has lived that long has been vacuumed and analysed on the way, and its pages
  // written out at checkpoints.
  return store.Sql(columns + " FROM generate_series(0, " + last + ") i, pelorus_pools p; " +
                   counts) &&
         store.Sql("VACUUM ANALYZE") && store.Sql("CHECKPOINT");
}

}  // namespace pelorus::bench
