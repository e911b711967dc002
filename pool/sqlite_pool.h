#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "pool/sql_pool.h"

struct sqlite3;

namespace pelorus::pool {

// The pool in one SQLite file: the embedded store for one bench, or several windows on one
// PC. Write-ahead log with full sync, so a step is on disk when it returns; every transaction
// that changes the store takes the write lock at once (BEGIN IMMEDIATE) and waits at most
// kLockWaitMs for it, trying again every millisecond or so while another station holds it.
// One that only reads takes no lock: the log keeps its view while stations write.
//
// A station's claim is an flock on PATH.stations/POOL@STATION.lock (names percent-escaped),
// which holds "host pid" of its holder; the lock ends with the descriptor, so with a process
// that dies.
class SqlitePool : public SqlPool {
 public:
  // Opens path (making the file only with create) and checks that it is a pool store or
  // empty; the schema is not looked at yet. Null with *error.
  static std::unique_ptr<SqlitePool> Connect(const std::string& path, bool create,
                                             std::string* error);
  ~SqlitePool() override;

  bool Claim(const std::string& name, const std::string& station, std::string* error) override;
  void Unclaim() override;

 protected:
  Outcome Run(const std::string& sql, const std::vector<Param>& params, std::vector<Row>* rows,
              std::string* detail) override;
  Outcome Stream(const std::string& sql, const std::vector<Param>& params,
                 const std::function<void(const Row&)>& each, std::string* detail) override;

 private:
  SqlitePool(std::string path, sqlite3* db);
  // SQLite's busy handler: true (1) to try again, while the lock wait lasts.
  static int WaitForLock(void* pool, int tries);

  sqlite3* db_;
  std::string claim_path_;  // the claim held, empty when none
  int claim_fd_ = -1;
  std::chrono::steady_clock::time_point lock_wait_started_{};
};

}  // namespace pelorus::pool
