#include "bench_pool.h"

#include <libpq-fe.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>

namespace pelorus::bench {

BenchPool::BenchPool(const std::string& kind) {
  if (kind == "sqlite") {
    char folder[] = "/tmp/pelorus-bench-pool-XXXXXX";
    if (mkdtemp(folder) == nullptr) {
      error_ = "cannot make a folder";
      return;
    }
    folder_ = folder;
    location_ = folder_ + "/line.db";
    return;
  }
  static int count = 0;
  database_ = "pelorus_bench_" + std::to_string(getpid()) + "_" + std::to_string(++count);
  if (Admin("CREATE DATABASE " + database_)) {
    location_ = "dbname=" + database_;
  }
}

BenchPool::~BenchPool() {
  if (!folder_.empty()) {
    std::filesystem::remove_all(folder_);
  }
  if (!location_.empty() && !database_.empty()) {
    Admin("DROP DATABASE " + database_ + " WITH (FORCE)");
  }
}

bool BenchPool::Admin(const std::string& sql) {
  PGconn* admin = PQconnectdb("dbname=postgres");
  PGresult* result = PQexec(admin, sql.c_str());
  const bool ok = PQresultStatus(result) == PGRES_COMMAND_OK;
  if (!ok) {
    error_ = "PostgreSQL: " + std::string(PQerrorMessage(admin));
  }
  PQclear(result);
  PQfinish(admin);
  return ok;
}

}  // namespace pelorus::bench
