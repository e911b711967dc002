// Each station's latest state: written again by every publish, read for the line's view.
#include <algorithm>

#include "pool/sql_pool.h"
#include "pool/sql_transaction.h"
#include "pool/utf8.h"

namespace pelorus::pool {
namespace {

// A detail as the store keeps it: a reason is our own text, but it may quote a console, and a
// server that stores text takes valid UTF-8 only. Escaped a character at a time, so that a cut
// never splits a character or an escape.
std::string KeptDetail(const std::string& detail) {
  constexpr std::size_t kRoom = kDetailMaxBytes - 3;  // for "..."
  std::string kept;
  std::size_t fitting = 0;  // how much of kept leaves room for "..."
  for (std::size_t at = 0; at < detail.size();) {
    const std::size_t length = std::max<std::size_t>(Utf8SequenceAt(detail, at), 1);
    const std::string piece = EscapeConsoleLine(detail.substr(at, length));
    if (kept.size() + piece.size() > kDetailMaxBytes) {
      return kept.substr(0, fitting) + "...";
    }
    kept += piece;
    fitting = kept.size() <= kRoom ? kept.size() : fitting;
    at += length;
  }
  return kept;
}

}  // namespace

bool SqlPool::PublishState(const std::string& name, const StationState& state, std::string* error) {
  if (!UsableName("station", state.station, error)) {
    return false;
  }
  const std::string detail = KeptDetail(state.detail);
  return InTransaction(
      [&](Transaction& tx) {
        if (!FindPool(tx, name, "name")) {
          return false;
        }
        return tx.Run(
            std::string("INSERT INTO pelorus_station_states"
                        " (pool, station, activity, detail, since, heartbeat_at, holder)"
                        " VALUES ($1, $2, $3, $4, $5, ") +
                dialect_.now +
                ", $6) ON CONFLICT (pool, station) DO UPDATE SET activity = excluded.activity,"
                " detail = excluded.detail, since = excluded.since,"
                " heartbeat_at = excluded.heartbeat_at, holder = excluded.holder",
            {name, state.station, std::string(ActivityText(state.activity)), detail, state.since,
             state.holder});
      },
      error);
}

bool SqlPool::StationStates(const std::string& name, std::vector<StationState>* states,
                            std::string* error) {
  return InTransaction(
      [&](Transaction& tx) {
        states->clear();
        if (!FindPool(tx, name, "name")) {
          return false;
        }
        for (const Row& r : tx.Query("SELECT station, activity, detail, since, heartbeat_at, holder"
                                     " FROM pelorus_station_states WHERE pool = $1"
                                     " ORDER BY station",
                                     {name})) {
          StationState state;
          state.station = Text(r[0]);
          // The table's check admits no other text.
          state.activity = ParseActivity(Text(r[1])).value_or(StationActivity::kIdle);
          state.detail = Text(r[2]);
          state.since = Text(r[3]);
          state.heartbeat_at = Text(r[4]);
          state.holder = Text(r[5]);
          states->push_back(std::move(state));
        }
        return !tx.failed();
      },
      error, Access::kRead);
}

}  // namespace pelorus::pool
