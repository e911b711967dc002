// The record of every attempt of a board: putting one on record, and reading them back.
#include "pool/sql_pool.h"
#include "pool/sql_transaction.h"

namespace pelorus::pool {
namespace {

// Attempts read back per transaction by ExportAttempts.
constexpr std::size_t kBatch = 1000;

constexpr const char* kAttemptColumns =
    "id, pool, station, port, address, outcome, code_at, written_at, readback_sent_at,"
    " matched_at, ended_at, transcript_bytes, transcript_cut";

Attempt AttemptFrom(const std::vector<std::optional<std::string>>& row) {
  Attempt attempt;
  attempt.id = Number(row[0]);
  attempt.pool = Text(row[1]);
  attempt.station = Text(row[2]);
  attempt.port = Text(row[3]);
  if (row[4]) {
    attempt.address = static_cast<Mac48>(Number(row[4]));
  }
  // The table's CHECK admits the five names only.
  attempt.outcome = OutcomeFromName(Text(row[5])).value_or(AttemptOutcome::kWindowEnded);
  attempt.code_at = Text(row[6]);
  attempt.written_at = Text(row[7]);
  attempt.readback_sent_at = Text(row[8]);
  attempt.matched_at = Text(row[9]);
  attempt.ended_at = Text(row[10]);
  attempt.transcript_bytes = static_cast<std::uint64_t>(Number(row[11]));
  attempt.transcript_cut = static_cast<std::uint64_t>(Number(row[12]));
  return attempt;
}

}  // namespace

bool SqlPool::RecordAttempt(const std::string& name, const Attempt& attempt,
                            const std::string& transcript, std::int64_t* id, std::string* error) {
  if (attempt.station.empty()) {
    return Refuse("an attempt needs a station name", error);
  }
  if (attempt.ended_at.empty()) {
    return Refuse("an attempt needs the time it ended", error);
  }
  if (!UsableName("station", attempt.station, error)) {
    return false;
  }
  return InTransaction(
      [&](Transaction& tx) {
        const auto pool = FindPool(tx, name, "first_address, last_address");
        if (!pool) {
          return false;
        }
        if (attempt.address && (*attempt.address < static_cast<Mac48>(Number((*pool)[0])) ||
                                *attempt.address > static_cast<Mac48>(Number((*pool)[1])))) {
          return tx.Refuse(FormatMac48(*attempt.address) + " lies outside pool " + name);
        }
        const auto same = tx.Query(
            "SELECT id FROM pelorus_attempts WHERE pool = $1 AND station = $2 AND ended_at = $3"
            " AND port = $4 AND code_at = $5",
            {name, attempt.station, attempt.ended_at, attempt.port, attempt.code_at});
        if (tx.failed()) {
          return false;
        }
        if (!same.empty()) {
          *id = Number(same[0][0]);
          return true;
        }
        std::vector<Param> values = {name,
                                     attempt.station,
                                     attempt.port,
                                     nullptr,
                                     std::string(OutcomeName(attempt.outcome)),
                                     attempt.code_at,
                                     attempt.written_at,
                                     attempt.readback_sent_at,
                                     attempt.matched_at,
                                     attempt.ended_at,
                                     Blob{transcript},
                                     static_cast<std::int64_t>(attempt.transcript_bytes),
                                     static_cast<std::int64_t>(attempt.transcript_cut)};
        if (attempt.address) {
          values[3] = Param64(*attempt.address);
        }
        const auto added = tx.Query(
            "INSERT INTO pelorus_attempts (pool, station, port, address, outcome, code_at,"
            " written_at, readback_sent_at, matched_at, ended_at, transcript, transcript_bytes,"
            " transcript_cut) VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11, $12, $13)"
            " RETURNING id",
            values);
        if (added.empty()) {
          return false;
        }
        *id = Number(added[0][0]);
        return true;
      },
      error);
}

bool SqlPool::History(Mac48 address, std::vector<Attempt>* attempts, std::string* error) {
  return InTransaction(
      [&](Transaction& tx) {
        attempts->clear();
        for (const Row& row : tx.Query(std::string("SELECT ") + kAttemptColumns +
                                           " FROM pelorus_attempts WHERE address = $1"
                                           " ORDER BY ended_at, id",
                                       {Param64(address)})) {
          attempts->push_back(AttemptFrom(row));
        }
        return !tx.failed();
      },
      error, Access::kRead);
}

bool SqlPool::TranscriptOf(std::int64_t id, std::string* transcript, std::string* error) {
  return InTransaction(
      [&](Transaction& tx) {
        const auto rows = tx.Query("SELECT transcript FROM pelorus_attempts WHERE id = $1", {id});
        if (tx.failed()) {
          return false;
        }
        if (rows.empty()) {
          return tx.Refuse("no attempt " + std::to_string(id) + " on record");
        }
        *transcript = Text(rows[0][0]);
        return true;
      },
      error, Access::kRead);
}

bool SqlPool::RecentAttempts(const std::string& name, std::int64_t after, std::size_t limit,
                             std::vector<Attempt>* attempts, std::string* error) {
  return InTransaction(
      [&](Transaction& tx) {
        attempts->clear();
        if (!FindPool(tx, name, "name")) {
          return false;
        }
        // The newest ids come first down the key, whatever the record's length.
        for (const Row& row : tx.Query(std::string("SELECT ") + kAttemptColumns +
                                           " FROM pelorus_attempts WHERE pool = $1 AND id > $2"
                                           " ORDER BY id DESC LIMIT $3",
                                       {name, after, static_cast<std::int64_t>(limit)})) {
          attempts->push_back(AttemptFrom(row));
        }
        return !tx.failed();
      },
      error, Access::kRead);
}

bool SqlPool::ExportAttempts(const std::string& name, const AttemptFilter& filter,
                             const std::function<void(const Attempt&)>& row, std::string* error) {
  std::vector<Param> bounds = {name};
  std::string sql =
      std::string("SELECT ") + kAttemptColumns + " FROM pelorus_attempts WHERE pool = $1";
  if (!filter.since.empty()) {
    bounds.emplace_back(filter.since);
    sql += " AND ended_at >= $" + std::to_string(bounds.size());
  }
  if (!filter.until.empty()) {
    bounds.emplace_back(filter.until);
    sql += " AND ended_at < $" + std::to_string(bounds.size());
  }
  if (!filter.station.empty()) {
    bounds.emplace_back(filter.station);
    sql += " AND station = $" + std::to_string(bounds.size());
  }
  const std::string after = std::to_string(bounds.size() + 1);
  const std::string after_id = std::to_string(bounds.size() + 2);
  const std::string order = " ORDER BY ended_at, id LIMIT " + std::to_string(kBatch);
  // Each batch starts after the last attempt of the one before, in (ended_at, id) order.
  std::optional<Attempt> last;
  for (;;) {
    std::vector<Row> rows;
    const bool read = InTransaction(
        [&](Transaction& tx) {
          if (!last) {
            if (!FindPool(tx, name, "name")) {
              return false;
            }
            rows = tx.Query(sql + order, bounds);
          } else {
            std::vector<Param> params = bounds;
            params.emplace_back(last->ended_at);
            params.emplace_back(last->id);
            rows = tx.Query(sql + " AND (ended_at > $" + after + " OR (ended_at = $" + after +
                                " AND id > $" + after_id + "))" + order,
                            params);
          }
          return !tx.failed();
        },
        error, Access::kRead);
    if (!read) {
      return false;
    }
    for (const Row& r : rows) {
      last = AttemptFrom(r);
      row(*last);
    }
    if (rows.size() < kBatch) {
      return true;
    }
  }
}

}  // namespace pelorus::pool
