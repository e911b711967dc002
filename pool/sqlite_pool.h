#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "pool/file_claim.h"
#include "pool/sql_pool.h"

struct sqlite3;

namespace pelorus::pool {

// The pool in one SQLite file: the embedded store for one bench, or several windows on one
// PC. Write-ahead log with full sync, so a step is on disk when it returns; every transaction
// that changes the store takes the write lock at once (BEGIN IMMEDIATE) and waits at most
// lock_wait() for it, trying again every millisecond or so while another station holds it.
// One that only reads takes no lock: the log keeps its view while stations write. Interrupt
// ends the wait at once, and a statement under way (sqlite3_interrupt).
//
// A station's claim is a FileClaim on the pool file. A file on a network file system is
// refused: SQLite's locks and the claims hold on a local disk only.
class SqlitePool : public SqlPool {
 public:
  // The file system that holds path, as statfs names it (f_type); nullopt when it cannot be
  // told.
  using FileSystemProbe = std::function<std::optional<std::int64_t>(const std::string& path)>;
  static std::optional<std::int64_t> FileSystemOf(const std::string& path);

  // Opens path (making the file only with create) and checks that it is a pool store or
  // empty, on a local disk as file_system tells; the schema is not looked at yet. Null with
  // *error.
  static std::unique_ptr<SqlitePool> Connect(const std::string& path, bool create,
                                             std::string* error,
                                             const FileSystemProbe& file_system = FileSystemOf);
  ~SqlitePool() override;

  bool Claim(const std::string& name, const std::string& station, std::string* error) override;
  void Unclaim() override;

 protected:
  Outcome Run(const std::string& sql, const std::vector<Param>& params, std::vector<Row>* rows,
              std::string* detail) override;
  Outcome Stream(const std::string& sql, const std::vector<Param>& params,
                 const std::function<void(const Row&)>& each, std::string* detail) override;
  void Interrupted() override;

 private:
  SqlitePool(std::string path, sqlite3* db);
  // SQLite's busy handler: self is the pool, tries the waits so far for this lock.
  static int WaitForLock(void* self, int tries);

  sqlite3* db_;
  FileClaim claim_;
  std::chrono::steady_clock::time_point lock_wait_started_{};
};

}  // namespace pelorus::pool
