#pragma once

#include <string>

namespace pelorus::bench {

// A store for a benchmark's address pool that no earlier run has touched: a SQLite file in a
// fresh folder ("sqlite"), or a fresh database on the PostgreSQL server that PGHOST and
// PGPORT name ("postgres"). Gone with the object.
class BenchPool {
 public:
  explicit BenchPool(const std::string& kind);
  ~BenchPool();
  BenchPool(const BenchPool&) = delete;
  BenchPool& operator=(const BenchPool&) = delete;

  // Empty when the store could not be made; error() says why.
  const std::string& location() const { return location_; }
  const std::string& error() const { return error_; }

 private:
  bool Admin(const std::string& sql);

  std::string folder_;
  std::string database_;
  std::string location_;
  std::string error_;
};

}  // namespace pelorus::bench
