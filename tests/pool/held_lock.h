#pragma once

#include <libpq-fe.h>
#include <sqlite3.h>

#include <string>

namespace pelorus::testing {

// Another program's open transaction that keeps a store's writers waiting: on a SQLite file
// the write lock, on PostgreSQL `table` locked in `mode` (by default the station states against
// writers, readers go on). Held from construction until Release or the object's end.
class HeldLock {
 public:
  HeldLock(const std::string& kind, const std::string& location,
           const std::string& table = "pelorus_station_states",
           const std::string& mode = "EXCLUSIVE") {
    if (kind == "sqlite") {
      // A station may hold the file for a moment of its own when the lock is taken.
      held_ = sqlite3_open(location.c_str(), &db_) == SQLITE_OK &&
              sqlite3_busy_timeout(db_, 5000) == SQLITE_OK &&
              sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK;
    } else {
      server_ = PQconnectdb(location.c_str());
      PGresult* result =
          PQexec(server_, ("BEGIN; LOCK TABLE " + table + " IN " + mode + " MODE").c_str());
      held_ = PQresultStatus(result) == PGRES_COMMAND_OK;
      PQclear(result);
    }
  }
  ~HeldLock() { Release(); }
  HeldLock(const HeldLock&) = delete;
  HeldLock& operator=(const HeldLock&) = delete;

  bool held() const { return held_; }
  // Ends the transaction with the connection.
  void Release() {
    sqlite3_close(db_);
    db_ = nullptr;
    PQfinish(server_);
    server_ = nullptr;
    held_ = false;
  }

 private:
  sqlite3* db_ = nullptr;
  PGconn* server_ = nullptr;
  bool held_ = false;
};

}  // namespace pelorus::testing
