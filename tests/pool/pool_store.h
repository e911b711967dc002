#pragma once

#include <libpq-fe.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <string>

namespace pelorus::testing {

// A store of the kind named ("sqlite" or "postgres") that no other test shares: a file in a
// fresh folder, or a fresh database on the PostgreSQL server the test command starts (its
// address comes in PGHOST, PGPORT, PGUSER, PGPASSWORD). Gone when the object is.
class PoolStore {
 public:
  explicit PoolStore(const std::string& kind) {
    if (kind == "sqlite") {
      char folder[] = "/tmp/pelorus-pool-XXXXXX";
      if (mkdtemp(folder) == nullptr) {
        error_ = "cannot make a folder";
        return;
      }
      folder_ = folder;
      location_ = folder_ + "/line.db";
      return;
    }
    if (getenv("PGHOST") == nullptr && getenv("PGPORT") == nullptr) {
      error_ =
          "no PostgreSQL server: run the tests through pg_virtualenv, as ./test.sh does "
          "(PGHOST and PGPORT are not set)";
      return;
    }
    static std::atomic<int> count{0};
    database_ = "pelorus_test_" + std::to_string(getpid()) + "_" + std::to_string(++count);
    if (Admin("CREATE DATABASE " + database_)) {
      location_ = "dbname=" + database_;
    }
  }
  ~PoolStore() {
    if (!folder_.empty()) {
      std::filesystem::remove_all(folder_);
    }
    if (!location_.empty() && !database_.empty()) {
      Admin("DROP DATABASE " + database_ + " WITH (FORCE)");
    }
  }
  PoolStore(const PoolStore&) = delete;
  PoolStore& operator=(const PoolStore&) = delete;

  // Empty when the store could not be made; error() says why.
  const std::string& location() const { return location_; }
  const std::string& error() const { return error_; }

  // Runs sql on the store with a connection of its own, as another program would.
  bool Sql(const std::string& sql) const {
    if (database_.empty()) {
      sqlite3* db = nullptr;
      const bool ok = sqlite3_open(location_.c_str(), &db) == SQLITE_OK &&
                      sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
      sqlite3_close(db);
      return ok;
    }
    return Exec("dbname=" + database_, sql);
  }

 private:
  bool Admin(const std::string& sql) { return Exec("dbname=postgres", sql); }

  bool Exec(const std::string& conninfo, const std::string& sql) const {
    PGconn* connection = PQconnectdb(conninfo.c_str());
    PGresult* result = PQexec(connection, sql.c_str());
    const bool ok =
        PQresultStatus(result) == PGRES_COMMAND_OK || PQresultStatus(result) == PGRES_TUPLES_OK;
    if (!ok) {
      error_ = sql + ": " + PQerrorMessage(connection);
    }
    PQclear(result);
    PQfinish(connection);
    return ok;
  }

  std::string folder_;
  std::string database_;
  std::string location_;
  mutable std::string error_;
};

}  // namespace pelorus::testing
