#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "pool/address_pool.h"
#include "pool/outcome.h"
#include "pool/station_journal.h"

namespace pelorus::pool {

// One station of a pool: its claim, its journal and its steps, the same for a window and for
// a script that runs pelorus-pool. Not thread-safe: one thread at a time (a run drives it
// from a thread of its own).
//
// Order of a station's life: Open, Claim (which puts the journal on record first), then
// Lease / MarkWritten / MarkVerified as devices come, Unclaim at the end of the run.
// Every step puts the journal on record before it does anything else; a step that cannot
// (the store does not answer) is kUnavailable as the store was.
//
// Each step returns its own Outcome (see pool/outcome.h): kDone, kRefused when the pool's
// rules say no (a claim held by another, a used-up pool, an address in another state or of
// another lease), kUnavailable when the store failed; *error says why for the last two.
class Station {
 public:
  struct Config {
    std::string location;
    std::string name = AddressPool::kDefaultName;
    std::string station;
    // Where the journal lives; empty: StationJournal::PathFor(location, name, station).
    std::string journal_path;
    // How long a step waits for a store another station holds locked.
    std::chrono::milliseconds lock_wait{AddressPool::kLockWaitMs};
  };

  // What became of a verified mark.
  enum class Verification {
    kOnRecord,   // the store took it
    kJournaled,  // the store failed; the mark is in the journal, durable, and goes to the
                 // store before the station's next step
    kRefused,    // the pool's rules refuse it (the address is not this station's written one,
                 // or was written under another lease)
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

  // Claims the station (see AddressPool::Claim), then puts the journal on record (*notes as
  // for Replay). When the claim is taken but the journal cannot be put on record, the claim
  // stays held and the outcome is the replay's.
  Outcome Claim(std::string* error, std::vector<std::string>* notes = nullptr);
  void Unclaim();
  // Puts the journal's marks on record, then empties it; only a mark the store refuses is
  // dropped. *notes (when given) receives one line per mark: put on record, or dropped and
  // why. A store that fails stops it, kUnavailable: the journal keeps every mark (a mark
  // already on record counts as done when it is replayed).
  Outcome Replay(std::string* error, std::vector<std::string>* notes = nullptr);

  // A new lease of the station (see AddressPool::Lease): its address and token.
  Outcome Lease(LeasedAddress* leased, std::string* error);
  // The written mark of leased, through port (see AddressPool::MarkWritten). Never
  // journaled: when the store fails, the address command must not go out.
  Outcome MarkWritten(const LeasedAddress& leased, const std::string& port, std::string* error);
  Verification MarkVerified(const LeasedAddress& leased, const std::string& readback,
                            std::string* error);
  // Puts a verified mark into the journal alone, without trying the store: for a board that
  // showed its address while the station's claim was lost to another holder (a connection cut
  // and the station started elsewhere meanwhile). The station's next step, or its next
  // holder's on this host, puts it on record or drops it with the reason.
  bool Journal(const LeasedAddress& leased, const std::string& readback, std::string* error);
  // Puts attempt (of this station and pool, whatever it names) on record with its encoded
  // transcript (see AddressPool::RecordAttempt), its id on record into *id when given (0 when
  // it went into the journal). kDone also when the store failed and the attempt went into the
  // journal instead, to go on record before the station's next step: *error then says why the
  // store did not take it (empty when it did). kRefused when the pool refuses it; kUnavailable
  // when neither the store nor the journal took it.
  Outcome RecordAttempt(const Attempt& attempt, const std::string& transcript, std::string* error,
                        std::int64_t* id = nullptr);
  Outcome Status(PoolStatus* status, std::string* error);
  // The station's leased address, if it has one; the store is only read.
  Outcome Current(std::optional<Mac48>* address, std::string* error);
  // Ends the store step under way soon and every later one at once, as the store failing
  // (marks then go to the journal), until Resume (see AddressPool::Interrupt). Any thread.
  void Interrupt() { pool_->Interrupt(); }
  // On the thread that runs the steps.
  void Resume() { pool_->Resume(); }
  // Marks waiting in the journal.
  std::size_t Pending() const;

 private:
  Station(Config config, std::unique_ptr<AddressPool> pool);
  // What became of a step of the pool that returned done.
  Outcome Of(bool done) const;
  // Puts one journal mark on record.
  Outcome PutOnRecord(const JournalMark& mark, std::string* why);
  // Replays the journal when it holds anything: kDone when it is empty then.
  Outcome ReplayWaiting(std::string* error);

  Config config_;
  std::unique_ptr<AddressPool> pool_;
  StationJournal journal_;
};

}  // namespace pelorus::pool
