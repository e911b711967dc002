// The pool's schema, the same on both stores, and the steps that bring an older store to it.
#include <utility>

#include "pool/sql_pool.h"
#include "pool/sql_transaction.h"

namespace pelorus::pool {
namespace {

// Version 1 as it was first made; a new store is made as version 1 and then taken through
// every step below, so that a new store and an upgraded one are the same.
const char* const kVersion1[] = {
    "CREATE TABLE pelorus_meta (key TEXT PRIMARY KEY, value TEXT NOT NULL)",
    "CREATE TABLE pelorus_pools ("
    " name TEXT PRIMARY KEY,"
    " first_address BIGINT NOT NULL,"
    " last_address BIGINT NOT NULL,"
    " next_address BIGINT NOT NULL,"
    " created_at TEXT NOT NULL,"
    " CHECK (first_address <= last_address))",
    "CREATE TABLE pelorus_addresses ("
    " address BIGINT PRIMARY KEY,"
    " pool TEXT NOT NULL REFERENCES pelorus_pools (name),"
    " state TEXT NOT NULL CHECK (state IN ('free', 'leased', 'written', 'verified')),"
    " station TEXT NOT NULL,"
    " port TEXT NOT NULL DEFAULT '',"
    " leased_at TEXT NOT NULL DEFAULT '',"
    " written_at TEXT NOT NULL DEFAULT '',"
    " verified_at TEXT NOT NULL DEFAULT '',"
    " attempts INTEGER NOT NULL DEFAULT 0,"
    " readback TEXT NOT NULL DEFAULT '')",
    "CREATE INDEX pelorus_addresses_station ON pelorus_addresses (pool, station, state)",
};

// One step from version N to N + 1: what it does, in a line, and its statements.
struct Migration {
  const char* what;
  std::vector<const char*> statements;
};

// kMigrations[i] takes a store from version i + 1 to i + 2.
const std::vector<Migration>& Migrations() {
  static const std::vector<Migration> migrations = {
      {"releases of unconfirmed addresses on record; read-back lines escaped",
       {
           "CREATE TABLE pelorus_releases ("
           " address BIGINT NOT NULL,"
           " pool TEXT NOT NULL REFERENCES pelorus_pools (name),"
           " station TEXT NOT NULL,"
           " port TEXT NOT NULL,"
           " written_at TEXT NOT NULL,"
           " attempts INTEGER NOT NULL,"
           " released_at TEXT NOT NULL,"
           " released_by TEXT NOT NULL,"
           " reason TEXT NOT NULL)",
           "CREATE INDEX pelorus_releases_pool ON pelorus_releases (pool, address)",
           "ALTER TABLE pelorus_addresses ADD COLUMN released_at TEXT NOT NULL DEFAULT ''",
           "ALTER TABLE pelorus_addresses ADD COLUMN released_by TEXT NOT NULL DEFAULT ''",
           "ALTER TABLE pelorus_addresses ADD COLUMN release_reason TEXT NOT NULL DEFAULT ''",
           // Version 1 kept the line as text; under the escaping only a backslash reads
           // differently.
           "UPDATE pelorus_addresses SET readback = REPLACE(readback, '\\', '\\\\')",
       }},
      {"each pool's counts kept in its row; given-back addresses indexed",
       {
           "ALTER TABLE pelorus_pools ADD COLUMN issued BIGINT NOT NULL DEFAULT 0",
           "ALTER TABLE pelorus_pools ADD COLUMN unconfirmed BIGINT NOT NULL DEFAULT 0",
           "ALTER TABLE pelorus_pools ADD COLUMN verified BIGINT NOT NULL DEFAULT 0",
           "ALTER TABLE pelorus_pools ADD COLUMN released BIGINT NOT NULL DEFAULT 0",
           "UPDATE pelorus_pools SET"
           " issued = (SELECT COUNT(*) FROM pelorus_addresses a"
           "  WHERE a.pool = pelorus_pools.name AND a.state <> 'free'),"
           " unconfirmed = (SELECT COUNT(*) FROM pelorus_addresses a"
           "  WHERE a.pool = pelorus_pools.name AND a.state = 'written'),"
           " verified = (SELECT COUNT(*) FROM pelorus_addresses a"
           "  WHERE a.pool = pelorus_pools.name AND a.state = 'verified'),"
           " released = (SELECT COUNT(*) FROM pelorus_releases r"
           "  WHERE r.pool = pelorus_pools.name)",
           "CREATE INDEX pelorus_addresses_free ON pelorus_addresses (pool, address)"
           " WHERE state = 'free'",
       }},
      {"every attempt of a board on record, with its console transcript",
       {
           "CREATE TABLE pelorus_attempts ("
           " id {key},"
           " pool TEXT NOT NULL REFERENCES pelorus_pools (name),"
           " station TEXT NOT NULL,"
           " port TEXT NOT NULL,"
           " address BIGINT,"
           " outcome TEXT NOT NULL CHECK (outcome IN ('verified', 'wrong read-back',"
           " 'no read-back', 'port lost', 'window ended')),"
           " code_at TEXT NOT NULL DEFAULT '',"
           " written_at TEXT NOT NULL DEFAULT '',"
           " readback_sent_at TEXT NOT NULL DEFAULT '',"
           " matched_at TEXT NOT NULL DEFAULT '',"
           " ended_at TEXT NOT NULL,"
           " transcript {bytes},"
           " transcript_bytes BIGINT NOT NULL DEFAULT 0,"
           " transcript_cut BIGINT NOT NULL DEFAULT 0)",
           "CREATE INDEX pelorus_attempts_address ON pelorus_attempts (address)",
           "CREATE INDEX pelorus_attempts_pool ON pelorus_attempts (pool, ended_at)",
           "CREATE INDEX pelorus_attempts_station ON pelorus_attempts (pool, station, ended_at)",
       }},
      {"each address keeps the token of its current lease; a mark is one lease's",
       {
           "ALTER TABLE pelorus_addresses ADD COLUMN lease_token TEXT NOT NULL DEFAULT ''",
       }},
      {"each station's latest state, with its heartbeat",
       {
           "CREATE TABLE pelorus_station_states ("
           " pool TEXT NOT NULL REFERENCES pelorus_pools (name),"
           " station TEXT NOT NULL,"
           " activity TEXT NOT NULL CHECK (activity IN ('idle', 'waiting for a board',"
           " 'writing', 'verifying', 'verified', 'failed', 'port lost',"
           " 'waiting for the store')),"
           " detail TEXT NOT NULL DEFAULT '',"
           " since TEXT NOT NULL DEFAULT '',"
           " heartbeat_at TEXT NOT NULL,"
           " holder TEXT NOT NULL DEFAULT '',"
           " PRIMARY KEY (pool, station))",
       }},
      {"each station's marks indexed by time, for the line's view",
       {
           "CREATE INDEX pelorus_addresses_written ON pelorus_addresses"
           " (pool, station, written_at)",
           "CREATE INDEX pelorus_addresses_verified ON pelorus_addresses"
           " (pool, station, verified_at)",
       }},
  };
  return migrations;
}

}  // namespace

// The few types the stores spell differently appear in the steps as {key} and {bytes}.
std::string SqlPool::InDialect(std::string statement) const {
  for (const auto& [word, spelled] :
       {std::pair<std::string, const char*>{"{key}", dialect_.key},
        std::pair<std::string, const char*>{"{bytes}", dialect_.bytes}}) {
    for (auto at = statement.find(word); at != std::string::npos; at = statement.find(word, at)) {
      statement.replace(at, word.size(), spelled);
    }
  }
  return statement;
}

std::int64_t SqlPool::SchemaVersion(Transaction& tx) {
  const bool has_meta = !tx.Query(dialect_.table_exists, {std::string("pelorus_meta")}).empty();
  if (tx.failed() || !has_meta) {
    return 0;
  }
  const auto version = tx.Query("SELECT value FROM pelorus_meta WHERE key = 'schema_version'");
  const std::int64_t found = version.empty() ? 0 : Number(version[0][0]);
  if (tx.failed()) {
    return 0;
  }
  if (found > kSchemaVersion) {
    tx.Refuse("holds a pool of schema version " + std::to_string(found) +
              ", and this build knows version " + std::to_string(kSchemaVersion) +
              " only: use a newer pelorus");
  } else if (found < 1) {
    tx.Refuse("is not an address pool (no schema version)");
  }
  return found;
}

bool SqlPool::Migrate(Transaction& tx, std::int64_t from, std::vector<std::string>* steps) {
  const auto& migrations = Migrations();
  for (std::int64_t version = from; version < kSchemaVersion; ++version) {
    const Migration& migration = migrations.at(static_cast<std::size_t>(version - 1));
    for (const char* statement : migration.statements) {
      tx.Run(InDialect(statement));
    }
    if (steps != nullptr) {
      steps->push_back("schema " + std::to_string(version) + " -> " + std::to_string(version + 1) +
                       ": " + migration.what);
    }
  }
  return tx.Run("UPDATE pelorus_meta SET value = $1 WHERE key = 'schema_version'",
                {std::to_string(kSchemaVersion)});
}

bool SqlPool::PrepareSchema(bool create, std::string* error) {
  // Only making the schema writes; checking it must not keep a station waiting.
  return InTransaction(
      [&](Transaction& tx) {
        if (create && *dialect_.lock_schema != '\0') {
          tx.Run(dialect_.lock_schema);
        }
        const std::int64_t found = SchemaVersion(tx);
        if (tx.failed() || !tx.refusal().empty()) {
          return false;
        }
        if (found == 0) {
          if (!create) {
            return tx.Refuse("holds no address pool (make one with: pelorus-pool create)");
          }
          for (const char* statement : kVersion1) {
            tx.Run(statement);
          }
          tx.Run("INSERT INTO pelorus_meta (key, value) VALUES ('schema_version', '1')");
          return Migrate(tx, 1, nullptr);
        }
        if (found < kSchemaVersion) {
          return tx.Refuse("holds a pool of schema version " + std::to_string(found) +
                           "; this build needs version " + std::to_string(kSchemaVersion) +
                           ": run pelorus-pool upgrade " + Where());
        }
        return true;
      },
      error, create ? Access::kWrite : Access::kRead);
}

bool SqlPool::UpgradeSchema(std::vector<std::string>* steps, std::string* error) {
  std::vector<std::string> done;
  const bool upgraded = InTransaction(
      [&](Transaction& tx) {
        done.clear();
        if (*dialect_.lock_schema != '\0') {
          tx.Run(dialect_.lock_schema);
        }
        const std::int64_t found = SchemaVersion(tx);
        if (tx.failed() || !tx.refusal().empty()) {
          return false;
        }
        if (found == 0) {
          return tx.Refuse("holds no address pool (make one with: pelorus-pool create)");
        }
        return found == kSchemaVersion || Migrate(tx, found, &done);
      },
      error);
  if (upgraded) {
    *steps = std::move(done);
  }
  return upgraded;
}

}  // namespace pelorus::pool
