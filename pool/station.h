#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "pool/address_pool.h"
#include "pool/station_journal.h"

namespace pelorus::pool {

// One station of a pool: its claim, its journal and its steps, the same for a window and for
// a script that runs pelorus-pool. Not thread-safe: one thread at a time (the window runs it
// on its store worker).
//
// Order of a station's life: Open, Claim (which puts the journal on record first), then
// Lease / MarkWritten / MarkVerified as devices come, Unclaim at the end of the run.
// Every step puts the journal on record before it does anything else; a step that cannot
// (the store does not answer) fails as the store failed.
class Station {
 public:
  struct Config {
    std::string location;
    std::string name = AddressPool::kDefaultName;
    std::string station;
    // Where the journal lives; empty: StationJournal::PathFor(location, name, station).
    std::string journal_path;
  };

  // What became of a verified mark.
  enum class Verification {
    kOnRecord,   // the store took it
    kJournaled,  // the store failed; the mark is in the journal, durable, and goes to the
                 // store before the station's next step
    kRefused,    // the pool's rules refuse it (the address is not this station's written one)
    kFailed,     // neither the store nor the journal took it (*error gives both reasons): the
                 // mark is lost, and the device must not be announced as done
  };

  // Opens the pool and checks that the pool name exists; null with *error when the store
  // cannot be opened or has no such pool (a store that opens but fails the check, e.g. locked,
  // still gives the station: its steps fail or journal as the store fails).
  static std::unique_ptr<Station> Open(const Config& config, std::string* error);

  const std::string& Name() const { return config_.name; }
  const std::string& StationName() const { return config_.station; }
  const std::string& Where() const { return pool_->Where(); }
  // Whether the last step that failed was refused by the pool's rules (a claim held by
  // another, a used-up pool, an address in another state), rather than by the store.
  bool Refused() const { return refused_; }

  // Claims the station (see AddressPool::Claim), then puts the journal on record (*notes as
  // for Replay). When the claim is taken but the journal cannot be put on record, the claim
  // stays held and the result is false, not refused.
  bool Claim(std::string* error, std::vector<std::string>* notes = nullptr);
  void Unclaim();
  // Puts the journal's marks on record, then empties it; a mark the store refuses is dropped.
  // *notes (when given) receives one line per mark: put on record, or dropped and why. A
  // store failure stops it: the journal keeps every mark (a mark already on record counts as
  // done when it is replayed).
  bool Replay(std::string* error, std::vector<std::string>* notes = nullptr);

  bool Lease(Mac48* address, std::string* error);
  bool MarkWritten(Mac48 address, const std::string& port, std::string* error);
  Verification MarkVerified(Mac48 address, const std::string& readback, std::string* error);
  // Puts attempt (of this station and pool, whatever it names) on record with its encoded
  // transcript (see AddressPool::RecordAttempt). When the store fails, the attempt goes into
  // the journal and on record before the station's next step: true, with *error saying why
  // the store did not take it (empty when it did). False with *error when the pool refuses
  // it (Refused()) or neither the store nor the journal took it.
  bool RecordAttempt(const Attempt& attempt, const std::string& transcript, std::string* error);
  bool Status(PoolStatus* status, std::string* error);
  // The station's leased address, if it has one; the store is only read.
  bool Current(std::optional<Mac48>* address, std::string* error);
  // Marks waiting in the journal.
  std::size_t Pending() const;

 private:
  Station(Config config, std::unique_ptr<AddressPool> pool);
  // Puts one journal mark on record; *refused when the pool will never take it.
  bool PutOnRecord(const JournalMark& mark, std::string* why, bool* refused);

  Config config_;
  std::unique_ptr<AddressPool> pool_;
  StationJournal journal_;
  bool refused_ = false;
};

}  // namespace pelorus::pool
