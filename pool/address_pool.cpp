#include "pool/address_pool.h"

#include "pool/postgres_pool.h"
#include "pool/sqlite_pool.h"

namespace pelorus::pool {

std::unique_ptr<AddressPool> AddressPool::Open(const std::string& location, bool create,
                                               std::string* error) {
  if (location.empty()) {
    *error = "no pool location given (a file path, or a postgresql:// URI)";
    return nullptr;
  }
  if (PostgresPool::Names(location)) {
    return PostgresPool::Open(location, create, error);
  }
  return SqlitePool::Open(location, create, error);
}

}  // namespace pelorus::pool
