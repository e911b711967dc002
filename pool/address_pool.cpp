#include "pool/address_pool.h"

#include <regex>

#include "pool/postgres_pool.h"
#include "pool/sqlite_pool.h"

namespace pelorus::pool {
namespace {

// The store at location, reached but with its schema not yet looked at.
std::unique_ptr<SqlPool> Connect(const std::string& location, bool create, std::string* error) {
  if (location.empty()) {
    *error = "no pool location given (a file path, or a postgresql:// URI)";
    return nullptr;
  }
  if (PostgresPool::Names(location)) {
    return PostgresPool::Connect(location, error);
  }
  return SqlitePool::Connect(location, create, error);
}

}  // namespace

std::unique_ptr<AddressPool> AddressPool::Open(const std::string& location, bool create,
                                               std::string* error) {
  auto pool = Connect(location, create, error);
  if (!pool || !pool->PrepareSchema(create, error)) {
    return nullptr;
  }
  return pool;
}

bool AddressPool::Upgrade(const std::string& location, std::vector<std::string>* steps,
                          std::string* error) {
  auto pool = Connect(location, false, error);
  return pool && pool->UpgradeSchema(steps, error);
}

// A password does not belong on a screen or in a log.
std::string AddressPool::Shown(const std::string& location) {
  static const std::regex uri_password(R"(^([A-Za-z][A-Za-z0-9+.-]*://[^:/?#@]*:)[^@/?#]*@)");
  static const std::regex query_password(R"(([?&]password=)[^&#]*)");
  static const std::regex key_password(R"((^|\s)password\s*=\s*('([^'\\]|\\.)*'|\S+))");
  std::string shown = std::regex_replace(location, uri_password, "$1****@");
  shown = std::regex_replace(shown, query_password, "$1****");
  return std::regex_replace(shown, key_password, "$1password=****");
}

}  // namespace pelorus::pool
