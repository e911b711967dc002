#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "pool/address_pool.h"
#include "pool/store_file.h"

namespace pelorus::pool {

// What the line's web view shows, read from one pool of a store: the pool's figures, each
// station's tile, the latest attempts, a transcript, the report page and the metrics. It only
// reads. Each call is one read of the store, through indexes (see StationFigures); calls from
// several threads take turns on the one connection.
//
// Each result is false with *error (the location shown without its password) when the store
// failed; *status then is 503, or 404 for what is not on record.
class WebLineView {
 public:
  // A station whose heartbeat is older than this is offline.
  static constexpr std::int64_t kOfflineAfterMs = 15000;
  // What lies this far back on the record is settled: marks and attempts are stamped before
  // their commit, but never land this late (a step gives up long before).
  static constexpr std::int64_t kSettledAfterMs = 10 * 60 * 1000;

  // now_ms: milliseconds since the epoch, UTC (the system clock unless a test gives its own).
  explicit WebLineView(std::string location, std::string pool_name,
                       std::function<std::int64_t()> now_ms = nullptr);

  const std::string& Where() const { return where_; }
  const std::string& PoolName() const { return pool_name_; }

  // {"pool", "where", "total", "issued", "free", "verified", "written", "leased",
  //  "per_day", "days_left" (null without a rate)}: per_day is the week's rate, each station's
  //  taken over its latest marks (kRateSample at most), so that a fast line costs no more.
  bool PoolJson(std::string* json, int* status, std::string* error);
  // [{"station", "activity", "detail", "since", "heartbeat_at", "offline", "offline_since",
  //   "in_hand", "last_outcome", "last_at", "last_address", "boards_this_hour",
  //   "attempts_today", "yield_today" (null without attempts today)}]
  bool StationsJson(std::string* json, int* status, std::string* error);
  // The attempts after id, newest first, at most 50: [{"id", "ended_at", "station", "port",
  // "address", "outcome"}]
  bool AttemptsJson(std::int64_t after, std::string* json, int* status, std::string* error);
  // Attempt id's console as a page.
  bool TranscriptPage(std::int64_t id, std::string* html, int* status, std::string* error);
  // The report page of the attempts since since (the record's form, empty for all).
  bool ReportPage(const std::string& since, std::string* html, int* status, std::string* error);
  // Prometheus's text format. The counters are the record's: the part older than
  // kSettledAfterMs is counted at the first scrape and kept, the rest counted at each.
  bool Metrics(std::string* text, int* status, std::string* error);

 private:
  // The store, opened again after a failure or once its file was replaced; null with *error
  // when it cannot be.
  AddressPool* Store(std::string* error);
  // Ends a call that failed: forgets a connection that may be broken.
  bool Failed(int* status, int code);

  std::string location_;
  std::string pool_name_;
  std::string where_;
  std::function<std::int64_t()> now_ms_;
  bool is_file_;
  std::mutex mutex_;
  std::unique_ptr<AddressPool> pool_;
  // The file pool_ was opened on (a SQLite store).
  std::optional<StoreFile> file_;
  // Each station's counters over its record before until.
  struct Settled {
    std::string until;
    StationTotals totals;
  };
  std::map<std::string, Settled> settled_;
};

// One attempt as /api/attempts and the "attempt" event give it: {"id", "ended_at",
// "station", "port", "address", "outcome"}.
std::string AttemptJson(const Attempt& attempt);

}  // namespace pelorus::pool
