#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "pool/sql_pool.h"

struct sqlite3;

namespace pelorus::pool {

// The pool in one SQLite file: the embedded store for one bench, or several windows on one
// PC. Write-ahead log with full sync, so a step is on disk when it returns; every transaction
// takes the write lock at once (BEGIN IMMEDIATE) and waits at most kLockWaitMs for it, trying
// again every millisecond or so while another station holds it.
class SqlitePool : public SqlPool {
 public:
  // Opens path (making the file and its schema only with create). Null with *error.
  static std::unique_ptr<SqlitePool> Open(const std::string& path, bool create, std::string* error);
  ~SqlitePool() override;

 protected:
  Outcome Run(const std::string& sql, const std::vector<Param>& params, std::vector<Row>* rows,
              std::string* detail) override;

 private:
  SqlitePool(std::string path, sqlite3* db);

  sqlite3* db_;
  std::chrono::steady_clock::time_point lock_wait_started_{};
};

}  // namespace pelorus::pool
