#include "pool/address_pool.h"

#include <cstdio>

#include "pool/postgres_pool.h"
#include "pool/server_location.h"
#include "pool/sqlite_pool.h"
#include "pool/utf8.h"

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

// The length bytes at `at` in hex, and where they are.
std::string BytesAt(const std::string& bytes, std::size_t at, std::size_t length) {
  std::string shown;
  for (std::size_t i = at; i < at + length; ++i) {
    char hex[5];
    std::snprintf(hex, sizeof hex, "\\x%02X", static_cast<unsigned char>(bytes[i]));
    shown += hex;
  }
  return shown + " at byte " + std::to_string(at + 1);
}

}  // namespace

std::string NameProblem(const std::string& what, const std::string& name) {
  // A name that is no text is shown as far as it tells which one it is.
  constexpr std::size_t kShownMax = 64;
  std::string shown;
  for (const char c : EscapeConsoleLine(name.substr(0, kShownMax))) {
    shown += c == '\t' ? std::string("\\x09") : std::string(1, c);
  }
  shown += name.size() > kShownMax ? "..." : "";
  const std::string named = what + " name \"" + shown + "\" ";
  if (name.empty()) {
    return what + " name is empty";
  }
  if (name.size() > kNameMaxBytes) {
    return named + "is longer than " + std::to_string(kNameMaxBytes) + " bytes";
  }
  for (std::size_t at = 0; at < name.size();) {
    const std::size_t length = Utf8SequenceAt(name, at);
    if (length == 0) {
      return named + "is not valid UTF-8 (" + BytesAt(name, at, 1) + ")";
    }
    if (IsControlCharacter(name, at, length)) {
      return named + "holds a control character (" + BytesAt(name, at, length) + ")";
    }
    at += length;
  }
  return "";
}

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

std::string AddressPool::Shown(const std::string& location) {
  if (!PostgresPool::Names(location)) {
    return location;
  }
  std::string why;
  const auto server = ServerLocation::Parse(location, &why);
  return server ? server->Shown() : ServerLocation::Unreadable(location);
}

}  // namespace pelorus::pool
