#pragma once

#include <memory>
#include <string>

#include "pool/sql_pool.h"

struct pg_conn;

namespace pelorus::pool {

// The pool on a PostgreSQL server, for several benches sharing one block of addresses. One
// short transaction per step; concurrent leases of a pool take turns on the pool's row, the
// address's uniqueness is the last guard. A lost connection fails the step under way (the
// server rolls it back) and is made again for the next one.
class PostgresPool : public SqlPool {
 public:
  // True when location names a server rather than a file: a postgresql:// or postgres:// URI
  // or a libpq "key=value" string.
  static bool Names(const std::string& location);
  // Connects (at most kConnectTimeoutS unless the location says otherwise) and checks the
  // schema, making it only with create. Null with *error.
  static std::unique_ptr<PostgresPool> Open(const std::string& location, bool create,
                                            std::string* error);
  ~PostgresPool() override;

 protected:
  Outcome Run(const std::string& sql, const std::vector<Param>& params, std::vector<Row>* rows,
              std::string* detail) override;

 private:
  PostgresPool(std::string where, pg_conn* connection);
  bool Configure(std::string* detail);

  pg_conn* connection_;
};

}  // namespace pelorus::pool
