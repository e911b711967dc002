#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "pool/address_pool.h"

namespace pelorus::pool {

// Milliseconds since the epoch of a UTC time as the record keeps it
// ("2026-12-06T09:41:07.250Z"), or as a person types it: a date, then optionally " " or "T"
// and the hour, minutes, seconds, milliseconds, and a "Z". nullopt for anything else.
std::optional<std::int64_t> ParseUtc(const std::string& text);
// The record's form of a time in milliseconds since the epoch.
std::string FormatUtc(std::int64_t ms);

// The figures of a pool's line over a window of time, from its attempts: boards per hour and
// station, yield, failures by outcome, the time a board takes, and the pool's use.
class LineReport {
 public:
  // since and until bound the window (in the record's form; empty for none).
  LineReport(std::string pool, std::string where, std::string since, std::string until);

  // Counts one attempt of the window (ExportAttempts gives them in the order they ended).
  void Add(const Attempt& attempt);
  // Ends the counting with the pool's present state.
  void Finish(const PoolStatus& status);

  // The figures as one JSON object (keys in README and pelorus-pool report --help).
  void WriteJson(std::ostream& out) const;
  // One page of HTML, self-contained: inline CSS and SVG, no script, nothing fetched.
  void WriteHtml(std::ostream& out) const;

 private:
  struct Tally {
    std::uint64_t attempts = 0;
    std::uint64_t verified = 0;
    std::vector<double> seconds;  // per verified board with a CODE time
    double slowest = -1;
    std::int64_t slowest_id = 0;
  };
  // A tally's median and slowest time per board, nullopt without any.
  static std::optional<double> Median(const Tally& tally);
  static std::optional<double> Slowest(const Tally& tally);
  // Hours of the window from the first attempt's to the last's ("2026-12-06T08").
  std::vector<std::string> Hours() const;
  std::optional<double> PerDay() const;
  std::optional<double> DaysLeft() const;

  std::string pool_;
  std::string where_;
  std::string since_;
  std::string until_;
  // The window as the attempts show it: the first start (CODE, or the end), the first and the
  // last end.
  std::optional<std::int64_t> start_ms_;
  std::optional<std::int64_t> first_end_ms_;
  std::optional<std::int64_t> last_end_ms_;
  Tally all_;
  std::map<std::string, Tally> stations_;
  // (station, hour) -> (verified, failed)
  std::map<std::pair<std::string, std::string>, std::pair<std::uint64_t, std::uint64_t>> hours_;
  std::array<std::uint64_t, 5> outcomes_{};
  std::set<Mac48> addresses_;
  PoolStatus status_;
};

// text with &, <, >, ", ' and { as HTML's character references: safe in an element and in a
// quoted attribute, and never taken for a mark of the report's template.
std::string HtmlText(const std::string& text);

}  // namespace pelorus::pool
