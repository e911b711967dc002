#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace pelorus::devsim {

// Where the boards went: one JSON line per board each time it leaves the bench,
// {"serial":N,"address":"00:1A:2B:3C:4D:5E" or null for a blank flash,"confirmed":B}, where
// `address` is what its flash holds and `confirmed` tells whether its read-back was shown.
// A board put back on the bench leaves again later: its last line is what it holds. Every
// line is flushed as it is written, so a run that is killed leaves a complete ledger.
class BoardLedger {
 public:
  BoardLedger() = default;
  ~BoardLedger();
  BoardLedger(const BoardLedger&) = delete;
  BoardLedger& operator=(const BoardLedger&) = delete;

  // `path` empty: no ledger. False with *error if the file cannot be created.
  bool Open(const std::string& path, std::string* error);
  void Leave(int serial, std::uint64_t flash, bool confirmed);

 private:
  std::FILE* file_ = nullptr;
};

}  // namespace pelorus::devsim
