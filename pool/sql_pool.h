#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "pool/address_pool.h"

namespace pelorus::pool {

// The address pool's rules, written once in SQL that both stores understand; a store adds
// how it runs a statement and the few words in which its SQL differs.
//
// Schema (version 1):
//   pelorus_meta      (key, value)          -- schema_version
//   pelorus_pools     (name, first_address, last_address, next_address, created_at)
//   pelorus_addresses (address UNIQUE, pool, state, station, port, leased_at, written_at,
//                      verified_at, attempts, readback)
// An address has a row from its first lease on; next_address is the lowest address of the
// pool that never had one. A given-back address keeps its row as 'free' and is leased again
// before any new one.
class SqlPool : public AddressPool {
 public:
  static constexpr int kSchemaVersion = 1;

  // The store's own words, where its SQL differs.
  struct Dialect {
    const char* begin;         // a transaction that takes the write lock at once
    const char* lock_row;      // appended to a SELECT of rows the transaction will change
    const char* lock_schema;   // a statement that keeps another station from making the
                               // schema at the same time; empty when begin does that
    const char* lock_pools;    // a statement that keeps other pools from being created;
                               // empty when begin does that
    const char* now;           // the current UTC time as ISO 8601 text with milliseconds
    const char* table_exists;  // one row when the table named $1 exists
  };

  const std::string& Where() const override { return where_; }
  bool Refused() const override { return refused_; }
  bool Create(const std::string& name, Mac48 first, Mac48 last, std::string* error) override;
  bool Lease(const std::string& name, const std::string& station, Mac48* address,
             std::string* error) override;
  bool MarkWritten(Mac48 address, const std::string& station, const std::string& port,
                   std::string* error) override;
  bool MarkVerified(Mac48 address, const std::string& station, const std::string& readback,
                    std::string* error) override;
  bool Release(Mac48 address, std::string* error) override;
  bool OpenAddress(const std::string& name, const std::string& station,
                   std::optional<Mac48>* address, std::string* error) override;
  bool Check(Mac48 address, AddressRecord* record, std::string* error) override;
  bool Status(const std::string& name, PoolStatus* status, std::string* error) override;
  bool Export(const std::string& name, const std::function<void(const AddressRecord&)>& row,
              std::string* error) override;

 protected:
  using Param = std::variant<std::nullptr_t, std::int64_t, std::string>;
  using Row = std::vector<std::optional<std::string>>;  // columns as text; null as nullopt

  // What became of a statement.
  enum class Outcome {
    kOk,
    kBusy,    // another station held the store locked past the bounded wait
    kRetry,   // the store gave up on the transaction (serialisation, deadlock): run it again
    kLost,    // the connection to the store went away
    kFailed,  // anything else; detail says what
  };

  SqlPool(std::string where, Dialect dialect);

  // Runs one statement; $1, $2 ... in sql stand for params. Rows, when given, receive what
  // it returns. On any other outcome than kOk, *detail says what the store reported.
  virtual Outcome Run(const std::string& sql, const std::vector<Param>& params,
                      std::vector<Row>* rows, std::string* detail) = 0;

  // Checks that the store holds a pool schema this build knows, making it first when asked
  // (and the store holds nothing of the pool's yet). False with *error otherwise.
  bool PrepareSchema(bool create, std::string* error);

 private:
  class Transaction;

  // Runs step as one transaction, again while the store asks for it (a bounded number of
  // times). step returns false to roll back: with a refusal (a reason of the pool's rules)
  // or after a statement failed.
  bool InTransaction(const std::function<bool(Transaction&)>& step, std::string* error);
  // Reads the address's state, its row locked for the change to come; refuses (false) an
  // address that is free or another station's.
  bool LockStationRow(Transaction& tx, Mac48 address, const std::string& station,
                      AddressState* state, std::string* verified_at);
  // The pool's row with the columns asked for (lock_row appended when `lock`); nullopt when
  // the query failed or, refused, when there is no pool of that name.
  std::optional<Row> FindPool(Transaction& tx, const std::string& name, const char* columns,
                              bool lock = false);
  std::string Fail(const std::string& why) const;

  std::string where_;
  Dialect dialect_;
  bool refused_ = false;
};

}  // namespace pelorus::pool
