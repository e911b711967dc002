// What the line's view reads: the stations of a pool and each one's figures, every query
// bounded by an index of the station's own rows, so that a long record costs no more.
#include <algorithm>
#include <set>

#include "pool/sql_pool.h"
#include "pool/sql_transaction.h"

namespace pelorus::pool {
namespace {

// The distinct stations of a table indexed by (pool, station, ...): one index step per station
// (a skip through the index), where a DISTINCT would read every row of the pool.
std::string StationsOf(const char* table) {
  const std::string from = std::string(" FROM ") + table + " WHERE pool = $1";
  return "WITH RECURSIVE s(station) AS (SELECT MIN(station)" + from +
         " UNION ALL SELECT (SELECT MIN(station)" + from +
         " AND station > s.station) FROM s WHERE s.station IS NOT NULL)"
         " SELECT station FROM s WHERE station IS NOT NULL";
}

}  // namespace

bool SqlPool::StationNames(const std::string& name, std::vector<std::string>* stations,
                           std::string* error) {
  return InTransaction(
      [&](Transaction& tx) {
        if (!FindPool(tx, name, "name")) {
          return false;
        }
        std::set<std::string> names;
        for (const std::string& sql :
             {StationsOf("pelorus_addresses"), StationsOf("pelorus_attempts"),
              std::string("SELECT station FROM pelorus_station_states WHERE pool = $1")}) {
          for (const Row& row : tx.Query(sql, {name})) {
            names.insert(Text(row[0]));
          }
        }
        stations->assign(names.begin(), names.end());
        return !tx.failed();
      },
      error, Access::kRead);
}

bool SqlPool::FiguresOf(const std::string& name, const std::string& station,
                        const FigureSpans& spans, StationFigures* figures, std::string* error) {
  return InTransaction(
      [&](Transaction& tx) {
        *figures = StationFigures{};
        figures->station = station;
        const std::vector<Param> of = {name, station};
        const auto in_hand = tx.Query(
            "SELECT address FROM pelorus_addresses WHERE pool = $1 AND station = $2"
            " AND state = 'leased' ORDER BY address LIMIT 1",
            of);
        if (!in_hand.empty()) {
          figures->in_hand = static_cast<Mac48>(Number(in_hand[0][0]));
        }
        // Only ended_at in the order, so that the index gives the last row at once.
        const auto attempt = tx.Query(
            "SELECT outcome, ended_at, address FROM pelorus_attempts WHERE pool = $1"
            " AND station = $2 ORDER BY ended_at DESC LIMIT 1",
            of);
        if (!attempt.empty()) {
          figures->last_outcome = Text(attempt[0][0]);
          figures->last_at = Text(attempt[0][1]);
          if (attempt[0][2]) {
            figures->last_address = static_cast<Mac48>(Number(attempt[0][2]));
          }
        }
        const auto mark = tx.Query(
            "SELECT address, verified_at FROM pelorus_addresses WHERE pool = $1"
            " AND station = $2 AND verified_at > '' ORDER BY verified_at DESC LIMIT 1",
            of);
        // A window marks an address verified just before its attempt ends: the attempt tells
        // more; a script's steps leave the mark alone.
        if (!mark.empty() && Text(mark[0][1]) > figures->last_at) {
          figures->last_outcome = "verified";
          figures->last_at = Text(mark[0][1]);
          figures->last_address = static_cast<Mac48>(Number(mark[0][0]));
        }
        const auto count = [&](const std::string& since) -> std::uint64_t {
          const auto rows = tx.Query(
              "SELECT COUNT(*) FROM pelorus_addresses WHERE pool = $1 AND station = $2"
              " AND verified_at >= $3",
              {name, station, since});
          return rows.empty() ? 0 : static_cast<std::uint64_t>(Number(rows[0][0]));
        };
        if (!spans.hour.empty()) {
          figures->verified_hour = count(spans.hour);
        }
        if (!spans.week.empty()) {
          const auto sample_end = tx.Query(
              "SELECT verified_at FROM pelorus_addresses WHERE pool = $1 AND station = $2"
              " AND verified_at >= $3 ORDER BY verified_at DESC LIMIT 1 OFFSET $4",
              {name, station, spans.week, static_cast<std::int64_t>(kRateSample - 1)});
          if (!sample_end.empty()) {
            figures->verified_recent = kRateSample;
            figures->recent_since = Text(sample_end[0][0]);
          } else {
            figures->verified_recent = count(spans.week);
            figures->recent_since = spans.week;
          }
        }
        if (!spans.day.empty()) {
          const auto today = tx.Query(
              "SELECT COUNT(*), COALESCE(SUM(CASE WHEN outcome = 'verified' THEN 1 ELSE 0 END), 0)"
              " FROM pelorus_attempts WHERE pool = $1 AND station = $2 AND ended_at >= $3",
              {name, station, spans.day});
          if (!today.empty()) {
            figures->attempts_today = static_cast<std::uint64_t>(Number(today[0][0]));
            figures->verified_today = static_cast<std::uint64_t>(Number(today[0][1]));
          }
        }
        return !tx.failed();
      },
      error, Access::kRead);
}

bool SqlPool::TotalsOf(const std::string& name, const std::string& station, const std::string& from,
                       const std::string& until, StationTotals* totals, std::string* error) {
  // Every time on record sorts after "0" (an address never verified has none) and before "~".
  const std::vector<Param> span = {name, station, from.empty() ? "0" : from,
                                   until.empty() ? "~" : until};
  return InTransaction(
      [&](Transaction& tx) {
        const auto verified = tx.Query(
            "SELECT COUNT(*) FROM pelorus_addresses WHERE pool = $1 AND station = $2"
            " AND verified_at >= $3 AND verified_at < $4",
            span);
        const auto failed = tx.Query(
            "SELECT COUNT(*) FROM pelorus_attempts WHERE pool = $1 AND station = $2"
            " AND ended_at >= $3 AND ended_at < $4 AND outcome <> 'verified'",
            span);
        totals->verified =
            verified.empty() ? 0 : static_cast<std::uint64_t>(Number(verified[0][0]));
        totals->failed = failed.empty() ? 0 : static_cast<std::uint64_t>(Number(failed[0][0]));
        return !tx.failed();
      },
      error, Access::kRead);
}

bool SqlPool::MarksAfter(const std::string& name, const std::string& station,
                         const std::string& after, std::size_t limit, std::vector<MarkEvent>* marks,
                         std::string* error) {
  return InTransaction(
      [&](Transaction& tx) {
        marks->clear();
        for (const bool verified : {false, true}) {
          const std::string column = verified ? "verified_at" : "written_at";
          for (const Row& row :
               tx.Query("SELECT address, " + column +
                            " FROM pelorus_addresses WHERE pool = $1"
                            " AND station = $2 AND " +
                            column + " > $3 ORDER BY " + column + " LIMIT $4",
                        {name, station, after, static_cast<std::int64_t>(limit)})) {
            marks->push_back(
                MarkEvent{static_cast<Mac48>(Number(row[0])), station, verified, Text(row[1])});
          }
        }
        std::stable_sort(marks->begin(), marks->end(),
                         [](const MarkEvent& a, const MarkEvent& b) { return a.at < b.at; });
        return !tx.failed();
      },
      error, Access::kRead);
}

}  // namespace pelorus::pool
