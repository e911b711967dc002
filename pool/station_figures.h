#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "programming/mac48.h"

namespace pelorus::pool {

// The bounds of the spans a station's figures count over, in the record's form
// ("2026-12-06T09:00:00.000Z"): each figure counts what happened at that time or later. An
// empty bound leaves its figures unread (zero): a caller reads only what it shows.
struct FigureSpans {
  std::string hour;
  std::string day;
  std::string week;
};

// The most verified marks a station's rate is taken over: enough for a steady figure, and a
// bound on the index entries read however fast the line is.
constexpr std::uint64_t kRateSample = 1000;

// What the line's view shows of one station of a pool, read from the record alone (its state
// is StationStates's). Each figure is read through an index of the station's own rows, so it
// costs the same whatever the record's length.
struct StationFigures {
  std::string station;
  std::optional<Mac48> in_hand;  // the address leased to it and never written, if any
  // Its last board: the outcome's name (OutcomeName) of its last attempt on record, or
  // "verified" for a verified mark made later than that (a script's steps); empty for none.
  std::string last_outcome;
  std::string last_at;                // when that board ended or was verified
  std::optional<Mac48> last_address;  // the address that board was given, if any
  std::uint64_t verified_hour = 0;    // addresses it verified since spans.hour
  // Its rate over its latest verified marks since spans.week, at most kRateSample of them:
  // verified_recent marks since recent_since (spans.week, or the oldest mark of a full sample).
  std::uint64_t verified_recent = 0;
  std::string recent_since;
  std::uint64_t attempts_today = 0;  // attempts it put on record since spans.day
  std::uint64_t verified_today = 0;  // of those, the verified ones
};

// What a station did over a span of its record: the addresses it verified and its attempts
// that failed.
struct StationTotals {
  std::uint64_t verified = 0;
  std::uint64_t failed = 0;
};

// A written or verified mark of an address, as the line's view tells of it.
struct MarkEvent {
  Mac48 address = 0;
  std::string station;
  bool verified = false;  // a verified mark; otherwise a written one
  std::string at;         // the mark's time, in the record's form
};

}  // namespace pelorus::pool
