#pragma once

#include <libpq-fe.h>
#include <sqlite3.h>

#include <string>

namespace pelorus::testing {

// Another program's open transaction that keeps every station state from being written: on a
// SQLite file the write lock, on PostgreSQL the states table locked against writers (readers
// go on). Held from construction until Release or the object's end.
class HeldLock {
 public:
  HeldLock(const std::string& kind, const std::string& location) {
    if (kind == "sqlite") {
      held_ = sqlite3_open(location.c_str(), &db_) == SQLITE_OK &&
              sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK;
    } else {
      server_ = PQconnectdb(location.c_str());
      PGresult* result =
          PQexec(server_, "BEGIN; LOCK TABLE pelorus_station_states IN EXCLUSIVE MODE");
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
