#pragma once

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "pool/address_pool.h"

namespace pelorus::pool {

// How pelorus-pool shows the pool to whoever runs the line.

// The pool's range and counts, one figure a line, and a warning line when fewer than 1 % of
// its addresses (or fewer than 100) are left.
void WriteStatus(std::ostream& out, const PoolStatus& status, const std::string& where);
// Whether status is low enough for the warning.
bool RunningLow(const PoolStatus& status);
// The same as one JSON object on one line, for scripts and monitoring: pool, location,
// first, last (addresses as text), total, issued, verified, written, leased, free, released
// (numbers), running_low (true or false).
void WriteStatusJson(std::ostream& out, const PoolStatus& status, const std::string& where);

// Where one address stands, one fact a line; its last release after it was written and
// never confirmed, when there was one.
void WriteCheck(std::ostream& out, const AddressRecord& record);
// The same as one JSON object on one line: address, pool, state, station, port, leased_at,
// written_at, verified_at, readback, released_at, released_by, release_reason (text, empty
// where the step has not happened) and attempts (a number).
void WriteCheckJson(std::ostream& out, const AddressRecord& record);

// A time given on the command line (UTC: "2026-12-06", "2026-12-06T09:41",
// "2026-12-06T09:41:07", "2026-12-06 09:41:07.25Z" ...) in the record's form
// ("2026-12-06T09:41:07.250Z"), so that it compares with the record's times as text;
// nullopt when it is none of these.
std::optional<std::string> RecordTime(const std::string& text);

// Rows of text (the first a header) in columns two blanks apart, each as wide as its widest
// cell; no blanks at a line's end.
void WriteColumns(std::ostream& out, const std::vector<std::vector<std::string>>& rows);

// Written, never verified addresses: a header line, then one line each in aligned columns
// (address, station, port, last written, attempts, the last console line as kept).
void WriteUnconfirmed(std::ostream& out, const std::vector<AddressRecord>& records);

// The production record as RFC 4180 CSV: a header line, then one line per record; fields with
// a comma, a quote or a line break are quoted, lines end in CR LF.
class CsvRecordWriter {
 public:
  explicit CsvRecordWriter(std::ostream& out);
  void Write(const AddressRecord& record);

 private:
  std::ostream& out_;
};

// The attempts as RFC 4180 CSV, in the same form: id, station, port, address, outcome, the
// step times, transcript_bytes, transcript_cut.
class CsvAttemptWriter {
 public:
  explicit CsvAttemptWriter(std::ostream& out);
  void Write(const Attempt& attempt);

 private:
  std::ostream& out_;
};

}  // namespace pelorus::pool
