#pragma once

#include <string>
#include <vector>

#include "programming/mac48.h"

namespace pelorus::pool {

// A station's marks that the store could not take, kept in a small local file until the
// store takes them: one file per store, pool and station, under $XDG_STATE_HOME/pelorus/
// (default ~/.local/state/pelorus/). A mark is on disk (the file synced, and its folder when
// the file was made) when Append returns true. A record torn by a crash mid-append is
// ignored when read.
struct JournalMark {
  enum class Kind { kWritten, kVerified, kAttempt };
  Kind kind = Kind::kVerified;
  Mac48 address = 0;  // for an attempt, the address it wrote or 0
  // The port (written), the device's line, raw bytes (verified), or the attempt with its
  // encoded transcript as Station packs them (attempt).
  std::string detail;
  std::string at;  // when it happened, UTC, ISO 8601 with milliseconds
  // The token of the lease the mark is one of (written, verified); empty for an attempt, a
  // mark made without one, and a mark of a journal written before tokens were kept.
  std::string token;
};

class StationJournal {
 public:
  // The journal's file for station in pool name of the store at location (the location as
  // configured): for a server, named after its user, host, port and database (see
  // ServerLocation::Store), never after a password; for a file, after its absolute path.
  static std::string PathFor(const std::string& location, const std::string& name,
                             const std::string& station);

  explicit StationJournal(std::string path);

  const std::string& Path() const { return path_; }
  // Appends mark, durable when true; false with *error (the file and the reason) otherwise.
  bool Append(const JournalMark& mark, std::string* error);
  // Every whole mark in the order appended (none when there is no file).
  bool Read(std::vector<JournalMark>* marks, std::string* error) const;
  // Empties the journal once its marks are on record.
  bool Clear(std::string* error);

 private:
  std::string path_;
};

}  // namespace pelorus::pool
