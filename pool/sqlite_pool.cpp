#include "pool/sqlite_pool.h"

#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/vfs.h>

#include <chrono>
#include <filesystem>

namespace pelorus::pool {
namespace {

constexpr SqlPool::Dialect kSqlite = {
    "BEGIN IMMEDIATE",
    "BEGIN",
    "",
    "",
    "",
    "strftime('%Y-%m-%dT%H:%M:%fZ', 'now')",
    "SELECT name FROM sqlite_master WHERE type = 'table' AND name = $1",
    "INTEGER PRIMARY KEY",
    "BLOB",
    "",
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

// statfs's names of the file systems that hold a file on another host.
const char* NetworkFileSystem(std::int64_t type) {
  switch (type) {
    case 0x6969:
      return "NFS";
    case 0x517B:
      return "SMB";
    case 0xFF534D42:
      return "CIFS";
    case 0xFE534D42:
      return "SMB2";
    default:
      return nullptr;
  }
}

}  // namespace

SqlitePool::SqlitePool(std::string path, sqlite3* db)
    : SqlPool(path, kSqlite), db_(db), claim_(std::move(path)) {}

// SQLite's own busy wait sleeps longer and longer between tries, up to 100 ms, and a station
// that sleeps that long rarely finds the lock free while others commit one step after the
// other: it starves. Short, slightly varied sleeps give every waiting station its turn; each
// ends at once on Interrupt, and then so does the wait.
int SqlitePool::WaitForLock(void* self, int tries) {
  auto& pool = *static_cast<SqlitePool*>(self);
  const auto now = std::chrono::steady_clock::now();
  if (tries == 0) {
    pool.lock_wait_started_ = now;
  }
  if (now - pool.lock_wait_started_ >= pool.lock_wait()) {
    return 0;
  }
  return pool.interruption().Sleep(std::chrono::microseconds(500 + (tries * 7919) % 1000)) ? 1 : 0;
}

void SqlitePool::Interrupted() {
  sqlite3_interrupt(db_);
}

SqlitePool::~SqlitePool() {
  sqlite3_close_v2(db_);
}

bool SqlitePool::Claim(const std::string& name, const std::string& station, std::string* error) {
  ClearRefusal();
  if (!UsableName("station", station, error)) {
    return false;
  }
  if (interruption().Raised()) {
    return Failed("interrupted", error);
  }
  const std::string what = "station " + station + " of pool " + name;
  std::string why;
  switch (claim_.Take(name, station, &why)) {
    case FileClaim::Result::kTaken:
      return true;
    case FileClaim::Result::kHeld:
      return Refuse(what + " is claimed by " + why, error);
    case FileClaim::Result::kFailed:
      break;
  }
  return Failed("cannot claim " + what + ": " + why, error);
}

void SqlitePool::Unclaim() {
  claim_.Release();
}

std::optional<std::int64_t> SqlitePool::FileSystemOf(const std::string& path) {
  struct statfs info {};
  if (statfs(path.c_str(), &info) != 0) {
    return std::nullopt;
  }
  return static_cast<std::int64_t>(info.f_type);
}

std::unique_ptr<SqlitePool> SqlitePool::Connect(const std::string& path, bool create,
                                                std::string* error,
                                                const FileSystemProbe& file_system) {
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
  const std::string folder = std::filesystem::path(path).parent_path().string();
  const auto type = file_system(exists ? path : folder.empty() ? "." : folder);
  if (const char* network = type ? NetworkFileSystem(*type) : nullptr) {
    *error = path + ": on a network file system (" + network +
             "): SQLite's locks and the stations' claims hold on a local disk only; benches "
             "that share a pool share a PostgreSQL server (postgresql://...)";
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
  sqlite3_busy_handler(db, WaitForLock, pool.get());
  sqlite3_extended_result_codes(db, 1);
  // Only a store that is a database, and a pool or nothing yet, is ours to touch.
  std::vector<Row> tables;
  std::string detail;
  const Outcome listed =
      pool->Run("SELECT name FROM sqlite_master WHERE type = 'table'", {}, &tables, &detail);
  if (listed == Outcome::kBusy) {
    // A pool's own stations never hold it this long; another program (a copy, a shell on the
    // file) does, and lets go in its own time.
    *error = path + ": " + detail + " by another program; try again once it lets go";
    return nullptr;
  }
  if (listed != Outcome::kOk) {
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
  return pool;
}

SqlPool::Outcome SqlitePool::Run(const std::string& sql, const std::vector<Param>& params,
                                 std::vector<Row>* rows, std::string* detail) {
  if (sql.rfind("BEGIN", 0) == 0) {
    claim_.Answer();
  }
  if (rows == nullptr) {
    return Stream(
        sql, params, [](const Row&) {}, detail);
  }
  return Stream(
      sql, params, [rows](const Row& row) { rows->push_back(row); }, detail);
}

SqlPool::Outcome SqlitePool::Stream(const std::string& sql, const std::vector<Param>& params,
                                    const std::function<void(const Row&)>& each,
                                    std::string* detail) {
  sqlite3_stmt* statement = nullptr;
  int status = sqlite3_prepare_v2(db_, Numbered(sql).c_str(), -1, &statement, nullptr);
  for (std::size_t i = 0; status == SQLITE_OK && i < params.size(); ++i) {
    const int index = static_cast<int>(i + 1);
    if (const auto* number = std::get_if<std::int64_t>(&params[i])) {
      status = sqlite3_bind_int64(statement, index, *number);
    } else if (const auto* text = std::get_if<std::string>(&params[i])) {
      status = sqlite3_bind_text(statement, index, text->data(), static_cast<int>(text->size()),
                                 SQLITE_TRANSIENT);
    } else if (const auto* blob = std::get_if<Blob>(&params[i])) {
      status = sqlite3_bind_blob64(statement, index, blob->bytes.data(), blob->bytes.size(),
                                   SQLITE_TRANSIENT);
    } else {
      status = sqlite3_bind_null(statement, index);
    }
  }
  // One row, filled again for each step: its strings keep their room.
  Row row;
  while (status == SQLITE_OK || status == SQLITE_ROW) {
    status = sqlite3_step(statement);
    if (status != SQLITE_ROW) {
      continue;
    }
    row.resize(static_cast<std::size_t>(sqlite3_column_count(statement)));
    for (std::size_t column = 0; column < row.size(); ++column) {
      const int c = static_cast<int>(column);
      const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, c));
      if (text == nullptr) {
        row[column].reset();
      } else if (row[column]) {
        row[column]->assign(text, static_cast<std::size_t>(sqlite3_column_bytes(statement, c)));
      } else {
        row[column].emplace(text, static_cast<std::size_t>(sqlite3_column_bytes(statement, c)));
      }
    }
    each(row);
  }
  if (status != SQLITE_DONE) {
    *detail = sqlite3_errmsg(db_);
  }
  sqlite3_finalize(statement);
  if (status == SQLITE_DONE) {
    return Outcome::kOk;
  }
  if (interruption().Raised()) {
    return Outcome::kInterrupted;
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
