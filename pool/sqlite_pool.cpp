#include "pool/sqlite_pool.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <chrono>
#include <thread>

namespace pelorus::pool {
namespace {

constexpr SqlPool::Dialect kSqlite = {
    "BEGIN IMMEDIATE",
    "",
    "",
    "",
    "strftime('%Y-%m-%dT%H:%M:%fZ', 'now')",
    "SELECT name FROM sqlite_master WHERE type = 'table' AND name = $1",
};

// Our statements write their parameters as $1, $2 ...; SQLite numbers them ?1, ?2 ...
std::string Numbered(std::string sql) {
  for (char& c : sql) {
    if (c == '$') {
      c = '?';
    }
  }
  return sql;
}

// SQLite's own busy wait sleeps longer and longer between tries, up to 100 ms, and a station
// that sleeps that long rarely finds the lock free while others commit one step after the
// other: it starves. Short, slightly varied sleeps give every waiting station its turn.
int WaitForLock(void* started_at, int tries) {
  using Clock = std::chrono::steady_clock;
  auto& since = *static_cast<Clock::time_point*>(started_at);
  if (tries == 0) {
    since = Clock::now();
  }
  if (Clock::now() - since >= std::chrono::milliseconds(AddressPool::kLockWaitMs)) {
    return 0;
  }
  std::this_thread::sleep_for(std::chrono::microseconds(500 + (tries * 7919) % 1000));
  return 1;
}

}  // namespace

SqlitePool::SqlitePool(std::string path, sqlite3* db)
    : SqlPool(std::move(path), kSqlite), db_(db) {}

SqlitePool::~SqlitePool() {
  sqlite3_close_v2(db_);
}

std::unique_ptr<SqlitePool> SqlitePool::Open(const std::string& path, bool create,
                                             std::string* error) {
  struct stat info {};
  const bool exists = stat(path.c_str(), &info) == 0;
  if (!exists && !create) {
    *error = path + ": no such file (make a pool with: pelorus-pool create)";
    return nullptr;
  }
  if (exists && !S_ISREG(info.st_mode)) {
    *error = path + ": not a file, so not an address pool";
    return nullptr;
  }
  sqlite3* db = nullptr;
  const int flags =
      SQLITE_OPEN_READWRITE | SQLITE_OPEN_FULLMUTEX | (create ? SQLITE_OPEN_CREATE : 0);
  if (sqlite3_open_v2(path.c_str(), &db, flags, nullptr) != SQLITE_OK) {
    *error = path + ": " + (db != nullptr ? sqlite3_errmsg(db) : "cannot open");
    sqlite3_close_v2(db);
    return nullptr;
  }
  std::unique_ptr<SqlitePool> pool(new SqlitePool(path, db));
  sqlite3_busy_handler(db, WaitForLock, &pool->lock_wait_started_);
  sqlite3_extended_result_codes(db, 1);
  // Only a store that is a database, and a pool or nothing yet, is ours to touch.
  std::vector<Row> tables;
  std::string detail;
  if (pool->Run("SELECT name FROM sqlite_master WHERE type = 'table'", {}, &tables, &detail) !=
      Outcome::kOk) {
    *error = path + ": not an address pool (" + detail + ")";
    return nullptr;
  }
  bool ours = tables.empty();
  for (const Row& table : tables) {
    ours = ours || table[0].value_or("") == "pelorus_meta";
  }
  if (!ours) {
    *error = path + ": not an address pool (a database of something else)";
    return nullptr;
  }
  std::vector<Row> mode;
  if (pool->Run("PRAGMA journal_mode = WAL", {}, &mode, &detail) != Outcome::kOk ||
      pool->Run("PRAGMA synchronous = FULL", {}, nullptr, &detail) != Outcome::kOk ||
      pool->Run("PRAGMA foreign_keys = ON", {}, nullptr, &detail) != Outcome::kOk) {
    *error = path + ": " + detail;
    return nullptr;
  }
  if (!pool->PrepareSchema(create, error)) {
    return nullptr;
  }
  return pool;
}

SqlPool::Outcome SqlitePool::Run(const std::string& sql, const std::vector<Param>& params,
                                 std::vector<Row>* rows, std::string* detail) {
  sqlite3_stmt* statement = nullptr;
  int status = sqlite3_prepare_v2(db_, Numbered(sql).c_str(), -1, &statement, nullptr);
  for (std::size_t i = 0; status == SQLITE_OK && i < params.size(); ++i) {
    const int index = static_cast<int>(i + 1);
    if (const auto* number = std::get_if<std::int64_t>(&params[i])) {
      status = sqlite3_bind_int64(statement, index, *number);
    } else if (const auto* text = std::get_if<std::string>(&params[i])) {
      status = sqlite3_bind_text(statement, index, text->data(), static_cast<int>(text->size()),
                                 SQLITE_TRANSIENT);
    } else {
      status = sqlite3_bind_null(statement, index);
    }
  }
  while (status == SQLITE_OK || status == SQLITE_ROW) {
    status = sqlite3_step(statement);
    if (status == SQLITE_ROW && rows != nullptr) {
      Row row;
      for (int column = 0; column < sqlite3_column_count(statement); ++column) {
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, column));
        row.push_back(text != nullptr ? std::optional<std::string>(text) : std::nullopt);
      }
      rows->push_back(std::move(row));
    }
  }
  if (status != SQLITE_DONE) {
    *detail = sqlite3_errmsg(db_);
  }
  sqlite3_finalize(statement);
  if (status == SQLITE_DONE) {
    return Outcome::kOk;
  }
  switch (status & 0xFF) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return Outcome::kBusy;
    default:
      return Outcome::kFailed;
  }
}

}  // namespace pelorus::pool
