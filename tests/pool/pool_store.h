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

// How a claim this process holds is named to another that is refused.
inline std::string ThisProcess() {
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  return std::string("host ") + host + ", process " + std::to_string(getpid());
}

// A store of the kind named ("sqlite" or "postgres") that no other test shares: a file in a
// fresh folder, or a fresh database on the PostgreSQL server the test command starts (its
// address comes in PGHOST, PGPORT, PGUSER, PGPASSWORD). Gone when the object is.
class PoolStore {
 public:
  explicit PoolStore(const std::string& kind) {
    char folder[] = "/tmp/pelorus-pool-XXXXXX";
    if (kind == "sqlite" && mkdtemp(folder) != nullptr) {
      folder_ = folder;
      location_ = folder_ + "/line.db";
    } else if (kind != "sqlite" && (getenv("PGHOST") != nullptr || getenv("PGPORT") != nullptr)) {
      static std::atomic<int> count{0};
      database_ = "pelorus_test_" + std::to_string(getpid()) + "_" + std::to_string(++count);
      if (Exec("dbname=postgres", "CREATE DATABASE " + database_)) {
        location_ = "dbname=" + database_;
      }
    } else {
      error_ = kind == "sqlite" ? "cannot make a folder"
                                : "no PostgreSQL server (PGHOST and PGPORT are not set): run the "
                                  "tests through pg_virtualenv, as ./test.sh does";
    }
  }
  ~PoolStore() {
    if (!folder_.empty()) {
      std::filesystem::remove_all(folder_);
    }
    if (!location_.empty() && !database_.empty()) {
      Exec("dbname=postgres", "DROP DATABASE " + database_ + " WITH (FORCE)");
    }
  }
  PoolStore(const PoolStore&) = delete;
  PoolStore& operator=(const PoolStore&) = delete;

  // Empty when the store could not be made; error() says why.
  const std::string& location() const { return location_; }
  const std::string& error() const { return error_; }

  // Runs sql on the store with a connection of its own, as another program would.
  bool Sql(const std::string& sql) const {
    if (!database_.empty()) {
      return Exec(location_, sql);
    }
    sqlite3* db = nullptr;
    const bool ok = sqlite3_open(location_.c_str(), &db) == SQLITE_OK &&
                    sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_close(db);
    return ok;
  }

 private:
  bool Exec(const std::string& conninfo, const std::string& sql) const {
    PGconn* connection = PQconnectdb(conninfo.c_str());
    PGresult* result = PQexec(connection, sql.c_str());
    const ExecStatusType status = PQresultStatus(result);
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
      error_ = sql + ": " + PQerrorMessage(connection);
    }
    PQclear(result);
    PQfinish(connection);
    return status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
  }

  std::string folder_;
  std::string database_;
  std::string location_;
  mutable std::string error_;
};

}  // namespace pelorus::testing
