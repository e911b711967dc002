#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "pool/address_pool.h"
#include "pool/interruption.h"

namespace pelorus::pool {

// The address pool's rules, written once in SQL that both stores understand; a store adds
// how it runs a statement and the few words in which its SQL differs.
//
// Schema (version 7):
//   pelorus_meta      (key, value)          -- schema_version
//   pelorus_pools     (name, first_address, last_address, next_address, created_at, issued,
//                      unconfirmed, verified, released)
//   pelorus_addresses (address UNIQUE, pool, state, station, port, leased_at, written_at,
//                      verified_at, attempts, readback, released_at, released_by,
//                      release_reason, lease_token)  -- indexed by (pool, station, state),
//                                       -- (pool, station, written_at), (pool, station,
//                                       -- verified_at), and the free rows by (pool, address)
//   pelorus_releases  (address, pool, station, port, written_at, attempts, released_at,
//                      released_by, reason)  -- every release of an unconfirmed address
//   pelorus_attempts  (id, pool, station, port, address, outcome, code_at, written_at,
//                      readback_sent_at, matched_at, ended_at, transcript, transcript_bytes,
//                      transcript_cut)  -- every attempt of a board, its transcript as bytes
//   pelorus_station_states (pool, station, activity, detail, since, heartbeat_at, holder)
//                      -- each station's latest state, one row per (pool, station)
// An address has a row from its first lease on; next_address is the lowest address of the
// pool that never had one. A given-back address keeps its row as 'free' and is leased again
// before any new one. The pool's row counts its addresses (issued: leased, written or
// verified; unconfirmed: written, never verified; verified; released: unconfirmed addresses
// given back, ever), moved by every step in the step's own transaction. Read-back lines are
// kept escaped (EscapeConsoleLine). lease_token is the token of the address's current lease
// (the one its written mark was made under, once written), empty for a free address and for
// one leased or written before tokens were kept. A station's state row is written again by
// every publish of it (its heartbeat_at the store's time); its detail is kept escaped, as
// read-back lines are.
class SqlPool : public AddressPool {
 public:
  static constexpr int kSchemaVersion = 7;

  // The store's own words, where its SQL differs.
  struct Dialect {
    const char* begin;         // a transaction that takes the write lock at once
    const char* begin_read;    // a transaction that only reads, and takes no write lock
    const char* lock_row;      // appended to a SELECT of rows the transaction will change
    const char* lock_schema;   // a statement that keeps another station from making the
                               // schema at the same time; empty when begin does that
    const char* lock_pools;    // a statement that keeps other pools from being created;
                               // empty when begin does that
    const char* now;           // the current UTC time as ISO 8601 text with milliseconds
    const char* table_exists;  // one row when the table named $1 exists
    const char* key;           // a column type: an integer key the store numbers itself
    const char* bytes;         // a column type: any bytes
    const char* notify;        // the last statement of a step that writes, so that a
                               // listener hears of the commit (kChangeChannel); empty for none
  };

  // Checks that the store holds a pool of this build's schema, making it first when asked
  // (and the store holds nothing of the pool's yet). False with *error otherwise; an older
  // schema is refused with the upgrade command to run.
  bool PrepareSchema(bool create, std::string* error);
  // Brings an older schema to this build's in one transaction (see AddressPool::Upgrade).
  bool UpgradeSchema(std::vector<std::string>* steps, std::string* error);

  const std::string& Where() const override { return where_; }
  bool Refused() const override { return refused_; }
  void Interrupt() override;
  void Resume() override;
  void SetLockWait(std::chrono::milliseconds wait) override;
  bool Create(const std::string& name, Mac48 first, Mac48 last, std::string* error) override;
  bool Lease(const std::string& name, const std::string& station, LeasedAddress* leased,
             std::string* error) override;
  bool MarkWritten(const LeasedAddress& leased, const std::string& station, const std::string& port,
                   std::string* error) override;
  bool MarkVerified(const LeasedAddress& leased, const std::string& station,
                    const std::string& readback, std::string* error) override;
  bool Release(Mac48 address, std::string* error) override;
  bool ReleaseUnconfirmed(Mac48 address, const std::string& who, const std::string& reason,
                          std::string* error) override;
  bool OpenAddress(const std::string& name, const std::string& station,
                   std::optional<Mac48>* address, std::string* error) override;
  bool Unconfirmed(const std::string& name, const std::string& station,
                   std::vector<AddressRecord>* records, std::string* error) override;
  bool Check(Mac48 address, AddressRecord* record, std::string* error) override;
  bool PoolNames(std::vector<std::string>* names, std::string* error) override;
  bool Status(const std::string& name, PoolStatus* status, std::string* error) override;
  bool PublishState(const std::string& name, const StationState& state,
                    std::string* error) override;
  bool StationStates(const std::string& name, std::vector<StationState>* states,
                     std::string* error) override;
  bool StationNames(const std::string& name, std::vector<std::string>* stations,
                    std::string* error) override;
  bool FiguresOf(const std::string& name, const std::string& station, const FigureSpans& spans,
                 StationFigures* figures, std::string* error) override;
  bool TotalsOf(const std::string& name, const std::string& station, const std::string& from,
                const std::string& until, StationTotals* totals, std::string* error) override;
  bool MarksAfter(const std::string& name, const std::string& station, const std::string& after,
                  std::size_t limit, std::vector<MarkEvent>* marks, std::string* error) override;
  bool RecentAttempts(const std::string& name, std::int64_t after, std::size_t limit,
                      std::vector<Attempt>* attempts, std::string* error) override;
  using AddressPool::Export;
  bool Export(const std::string& name, const RecordFilter& filter,
              const std::function<void(const AddressRecord&)>& row, std::string* error) override;
  bool RecordAttempt(const std::string& name, const Attempt& attempt, const std::string& transcript,
                     std::int64_t* id, std::string* error) override;
  bool History(Mac48 address, std::vector<Attempt>* attempts, std::string* error) override;
  bool TranscriptOf(std::int64_t id, std::string* transcript, std::string* error) override;
  using AddressPool::ExportAttempts;
  bool ExportAttempts(const std::string& name, const AttemptFilter& filter,
                      const std::function<void(const Attempt&)>& row, std::string* error) override;

 protected:
  // Bytes for a column of the bytes type, passed as they are.
  struct Blob {
    std::string bytes;
  };
  using Param = std::variant<std::nullptr_t, std::int64_t, std::string, Blob>;
  // Columns as text, a bytes column as its bytes; null as nullopt.
  using Row = std::vector<std::optional<std::string>>;

  // What became of a statement.
  enum class Outcome {
    kOk,
    kBusy,         // another station held the store locked past the bounded wait
    kRetry,        // the store gave up on the transaction (serialisation, deadlock): run it again
    kLost,         // the connection to the store went away
    kRefused,      // the pool's rules refuse it (a claim another holds); detail says why
    kInterrupted,  // Interrupt ended it
    kFailed,       // anything else; detail says what
  };

  SqlPool(std::string where, Dialect dialect);

  // Runs one statement; $1, $2 ... in sql stand for params. Rows, when given, receive what
  // it returns. On any other outcome than kOk, *detail says what the store reported.
  virtual Outcome Run(const std::string& sql, const std::vector<Param>& params,
                      std::vector<Row>* rows, std::string* detail) = 0;
  // Runs one query and hands each row to each as the store delivers it, keeping no more
  // than a batch of rows at a time; the row handed over is valid until each returns.
  virtual Outcome Stream(const std::string& sql, const std::vector<Param>& params,
                         const std::function<void(const Row&)>& each, std::string* detail) = 0;

  // What a store does on Interrupt beside raising interruption(): wake what the raised
  // descriptor does not (any thread calls it).
  virtual void Interrupted() {}
  // What a store does when SetLockWait changed lock_wait().
  virtual void LockWaitChanged() {}
  const Interruption& interruption() const { return interruption_; }
  std::chrono::milliseconds lock_wait() const { return lock_wait_; }

  // Ends a step outside a transaction: refused by the pool's rules, or failed by the store;
  // both false with *error naming the location.
  bool Refuse(const std::string& why, std::string* error);
  bool Failed(const std::string& why, std::string* error);
  // Starts a call that runs no transaction: Refused() describes this call, not one before.
  void ClearRefusal() { refused_ = false; }
  // True when name may name what ("pool", "station", see NameProblem); refused otherwise.
  bool UsableName(const std::string& what, const std::string& name, std::string* error);

 private:
  class Transaction;

  enum class Access { kWrite, kRead };

  // Runs step as one transaction, again while the store asks for it (a bounded number of
  // times). step returns false to roll back: with a refusal (a reason of the pool's rules)
  // or after a statement failed. A kRead step takes no write lock and is run once: what it
  // handed on is not handed on twice.
  bool InTransaction(const std::function<bool(Transaction&)>& step, std::string* error,
                     Access access = Access::kWrite);
  // The schema version the store holds, 0 when it holds none; refuses a newer one or a
  // store without a version.
  std::int64_t SchemaVersion(Transaction& tx);
  // Takes the schema from version `from` to this build's, a line per step into *steps.
  bool Migrate(Transaction& tx, std::int64_t from, std::vector<std::string>* steps);
  // Reads the address's state, its row locked for the change to come; refuses (false) an
  // address that is free or another station's. *row: state, station, port, verified_at,
  // readback, pool, lease_token, written_at.
  bool LockStationRow(Transaction& tx, Mac48 address, const std::string& station, Row* row);
  // The address's state, station and pool, its row locked for the change to come (a free
  // state and empty columns where it has no row); false when the query failed.
  bool LockAddressRow(Transaction& tx, Mac48 address, AddressState* state, Row* row);
  // The pool's row with the columns asked for (lock_row appended when `lock`); nullopt when
  // the query failed or, refused, when there is no pool of that name.
  std::optional<Row> FindPool(Transaction& tx, const std::string& name, const char* columns,
                              bool lock = false);
  // Moves pool's counters by change ("issued = issued + 1"); the last statement of a step,
  // so that the pool's row is held as briefly as can be.
  bool Count(Transaction& tx, const std::string& pool, const std::string& change);
  std::string Fail(const std::string& why) const;
  // A schema step's statement in this store's words.
  std::string InDialect(std::string statement) const;

  std::string where_;
  Dialect dialect_;
  bool refused_ = false;
  Interruption interruption_;
  std::chrono::milliseconds lock_wait_{kLockWaitMs};
};

}  // namespace pelorus::pool
