#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "pool/attempt.h"
#include "pool/station_figures.h"
#include "pool/station_state.h"
#include "programming/mac48.h"

namespace pelorus::pool {

// Where an address stands. An address is free until it is leased to a station; a leased
// address may be given back (release) until it has been written into a device. Once written
// it is spent: never issued again, to any station, even when its device never confirmed it
// (it then stays written, unconfirmed, until a person has checked the board and gives it back
// with ReleaseUnconfirmed). Once verified it is never written again.
enum class AddressState { kFree, kLeased, kWritten, kVerified };
// "free", "leased", "written", "verified".
const char* StateName(AddressState state);

// One address's line in the production record. Times are UTC, ISO 8601 with milliseconds
// ("2026-12-06T09:41:07.250Z"), empty where the step has not happened.
struct AddressRecord {
  Mac48 address = 0;
  std::string pool;  // the pool whose range holds it
  AddressState state = AddressState::kFree;
  std::string station;  // the station it is (or was last) leased to
  std::string port;     // the port it was last written through, as the station named it
  std::string leased_at;
  std::string written_at;  // the last attempt
  std::string verified_at;
  int attempts = 0;      // address-write commands recorded
  std::string readback;  // the device's line that showed the address, escaped (EscapeConsoleLine)
  // The last release of the address after it was written and never confirmed; empty if none.
  std::string released_at;
  std::string released_by;
  std::string release_reason;
};

// Which of a pool's record an export takes; an empty field takes all.
struct RecordFilter {
  // Only addresses with a step (lease, written or verified mark, release) at or after this
  // time, in the record's form ("2026-12-06T09:41:07.250Z"; a shorter prefix such as
  // "2026-12-06" counts from the start of that day).
  std::string since;
  std::string station;  // only addresses this station leased (or last leased)
};

// Which of a pool's attempts an export takes; an empty field takes all.
struct AttemptFilter {
  // Only attempts that ended at since or later and before until (ISO 8601 text as kept).
  std::string since;
  std::string until;
  std::string station;  // only this station's attempts
};

// A pool's counts, kept in the pool's row and changed by each step in its own transaction:
// reading them costs the same whatever the pool's size.
struct PoolStatus {
  std::string name;
  Mac48 first = 0;
  Mac48 last = 0;
  std::uint64_t total = 0;     // addresses in the range
  std::uint64_t issued = 0;    // leased, written or verified
  std::uint64_t verified = 0;  // written and read back
  std::uint64_t written = 0;   // written, never verified: unconfirmed, spent until released
  std::uint64_t leased = 0;    // leased, never written
  std::uint64_t free = 0;      // never issued (or given back)
  std::uint64_t released = 0;  // unconfirmed addresses given back by a person, ever
};

// An address as one lease gave it to a station. Every lease draws a new token (128 random
// bits as 32 hex digits), also when it gives the station's leased address again; the token
// before it is then superseded. A mark with a token is one of that lease: the address is
// written at most once, under the lease that is current. An empty token stands for a mark
// without one (see MarkWritten).
struct LeasedAddress {
  Mac48 address = 0;
  std::string token;
};

// Console bytes as the record keeps them, the same on every store: valid UTF-8 stays as it
// is, but for a backslash, which becomes "\\", and bytes that are not valid UTF-8 or are
// control characters other than a tab, which become "\xNN" (two upper-case hex digits).
std::string EscapeConsoleLine(const std::string& bytes);

// A pool's or a station's name is text for people, for file names and for JSON: not empty, at
// most kNameMaxBytes bytes of valid UTF-8, no control character.
constexpr std::size_t kNameMaxBytes = 200;
// Empty when name is such a name; otherwise one line that says why not, beginning with what
// ("station") and the name as the record shows console bytes: `station name "rack\x01"
// holds a control character (\x01 at byte 5)`.
std::string NameProblem(const std::string& what, const std::string& name);

// The address pool and its production record: one store of one or more named pools, each a
// range of addresses that never overlaps another. The store (not the caller) guarantees that
// no address is ever issued to two stations, whatever runs at once: every step is one
// transaction, and a step that fails changes nothing.
//
// Every failure returns false with a one-line *error that names the location (a server's
// password left out) and the reason; Refused() then tells a refusal from a store failure. Not
// thread-safe: one object per thread or process, but for Interrupt, which any thread may call.
class AddressPool {
 public:
  static constexpr const char* kDefaultName = "default";
  // How long a step waits for a store that another station holds locked before it fails,
  // unless SetLockWait says otherwise.
  static constexpr int kLockWaitMs = 5000;
  // How long connecting to a server may take before it fails (seconds).
  static constexpr int kConnectTimeoutS = 5;

  // Opens the store that location names: a postgresql:// or postgres:// URI, or a libpq
  // "key=value ..." string, is a PostgreSQL server; anything else is the path of a SQLite
  // file. Only with create is a missing file made (and only for the SQLite store). Null with
  // *error when the store cannot be reached, is not a pool store, or has an older schema (the
  // message names `pelorus-pool upgrade`) or a newer one.
  static std::unique_ptr<AddressPool> Open(const std::string& location, bool create,
                                           std::string* error);
  // Brings the store at location to this build's schema, one step at a time and all in one
  // transaction: *steps receives one line per step done ("schema 1 -> 2: ..."), none when the
  // store was current. False with *error (and nothing changed) otherwise; a newer store is
  // refused.
  static bool Upgrade(const std::string& location, std::vector<std::string>* steps,
                      std::string* error);
  // The location as it may be shown: a server's location as libpq reads it, in the form it
  // was given, its password and SSL key's password (sslpassword) as **** however written;
  // one that libpq cannot read as its kind only. A file's path as it is.
  static std::string Shown(const std::string& location);

  virtual ~AddressPool() = default;

  // The location as shown to people.
  virtual const std::string& Where() const = 0;
  // Ends the step under way soon (well within a second: a wait for a lock or for the server
  // ends at once, a statement under way on a server is cancelled there), and every later step
  // at once, as a failure of the store (not a refusal) whose reason is "interrupted", until
  // Resume. Thread-safe: a run ends its store's work from the thread that ends the run.
  virtual void Interrupt() = 0;
  // Lets steps run again after Interrupt; on the thread that runs the steps.
  virtual void Resume() = 0;
  // Whether the last call failed because the pool's rules refused it (an address in another
  // state or of another station, a used-up or unknown pool, a claim another holds), rather
  // than because the store failed (unreachable, locked, broken, interrupted): only the latter
  // may succeed when tried again. It describes the last call alone: every call sets it, false
  // when the call succeeded or the store failed.
  virtual bool Refused() const = 0;
  // How long a step waits for a store that another station holds locked before it fails
  // (kLockWaitMs until set).
  virtual void SetLockWait(std::chrono::milliseconds wait) = 0;

  // Adds the pool name with the range first ... last (first <= last, no group address in
  // it); refused when the name exists or is no name (NameProblem), or the range overlaps
  // another pool's.
  virtual bool Create(const std::string& name, Mac48 first, Mac48 last, std::string* error) = 0;

  // Claims station in pool name for this object until Unclaim or its end (and for a process
  // that dies, until then): at most one holder at a time, whatever process or host it runs
  // in. On PostgreSQL a session-level advisory lock, taken again before any other step after
  // a lost connection (a step then fails, refused, if another holder took it meanwhile, and
  // fails, not refused, while an earlier session of this object's that the server has not yet
  // found cut off holds it); on SQLite a FileClaim. Claiming the station held already is success.
  // Refused (Refused() true) with *error naming the station and its holder (host, process id and,
  // where it can be told, since when) when another holds it, and for a station name that
  // NameProblem refuses.
  virtual bool Claim(const std::string& name, const std::string& station, std::string* error) = 0;
  virtual void Unclaim() = 0;

  // The station's leased address (never written) if it has one; otherwise the lowest
  // given-back address, or else the lowest never issued, now leased to the station, with a
  // new token that supersedes the address's token before it. A written address is never
  // leased again. Refused for a station name that NameProblem refuses.
  virtual bool Lease(const std::string& name, const std::string& station, LeasedAddress* leased,
                     std::string* error) = 0;
  // Records that the address-write command for leased.address is about to go out through
  // port, one more attempt. The address must be leased to station, and:
  // - with a token, under that token (refused once another lease of the station superseded
  //   it); the same mark again (written under that token through port, never verified) is
  //   success without a change, so that a step whose acknowledgement was lost may be
  //   replayed; an address written under another token is refused;
  // - without one, not written yet: the write takes the lease's current token, and the same
  //   mark again is refused (only its token may replay it).
  // Durable when it returns.
  virtual bool MarkWritten(const LeasedAddress& leased, const std::string& station,
                           const std::string& port, std::string* error) = 0;
  // Records that the device showed leased.address in readback (any bytes; kept escaped)
  // after station wrote it; with a token, it must be the token the address was written under.
  // The same mark again (verified by station with the same line) is success. Durable when it
  // returns.
  virtual bool MarkVerified(const LeasedAddress& leased, const std::string& station,
                            const std::string& readback, std::string* error) = 0;
  // Gives back an address that was leased and never written; refuses any other.
  virtual bool Release(Mac48 address, std::string* error) = 0;
  // Gives back a written, never verified address after a person has checked that no board
  // holds it; the record keeps who, when and why. Refuses any other.
  virtual bool ReleaseUnconfirmed(Mac48 address, const std::string& who, const std::string& reason,
                                  std::string* error) = 0;

  // The station's leased address (never written), or nullopt when it has none; the store is
  // only read.
  virtual bool OpenAddress(const std::string& name, const std::string& station,
                           std::optional<Mac48>* address, std::string* error) = 0;
  // The pool's written, never verified addresses in address order (only station's when it is
  // not empty).
  virtual bool Unconfirmed(const std::string& name, const std::string& station,
                           std::vector<AddressRecord>* records, std::string* error) = 0;

  // Where one address stands; refused for an address that no pool's range holds.
  virtual bool Check(Mac48 address, AddressRecord* record, std::string* error) = 0;
  // The names of the store's pools, in order; the store is only read.
  virtual bool PoolNames(std::vector<std::string>* names, std::string* error) = 0;
  // The pool's counts, from its row; the store is only read (on SQLite no station waits for
  // it).
  virtual bool Status(const std::string& name, PoolStatus* status, std::string* error) = 0;
  // Puts state on record as station state.station's latest in pool name: one row per
  // station, written again by each publish, its heartbeat_at the store's time (state's own is
  // not read); the detail kept as StationState says. One short transaction that takes no
  // claim: it works while another object, of this process or another, holds the station's,
  // and waits for a locked store no longer than any step. Refused for an unknown pool and for
  // a station name that NameProblem refuses.
  virtual bool PublishState(const std::string& name, const StationState& state,
                            std::string* error) = 0;
  // Every station's latest state in pool name, in station name order; the store is only read.
  virtual bool StationStates(const std::string& name, std::vector<StationState>* states,
                             std::string* error) = 0;

  // Every station of pool name that has a state, an address or an attempt on record, in name
  // order; read through indexes, a step per station, whatever the record's length. The store
  // is only read.
  virtual bool StationNames(const std::string& name, std::vector<std::string>* stations,
                            std::string* error) = 0;
  // The figures of station in pool name over spans (see StationFigures); the store is only
  // read.
  virtual bool FiguresOf(const std::string& name, const std::string& station,
                         const FigureSpans& spans, StationFigures* figures, std::string* error) = 0;
  // What station of pool name verified and failed at from or later and before until (the
  // record's form; an empty one leaves its side open). An index count as long as the span's
  // part of the record: a counter kept over the whole record counts the settled past once.
  // The store is only read.
  virtual bool TotalsOf(const std::string& name, const std::string& station,
                        const std::string& from, const std::string& until, StationTotals* totals,
                        std::string* error) = 0;
  // The station's marks in pool name made after after (the record's form), in time order, at
  // most limit of each kind: each address's last written and verified mark, read through the
  // station's indexes of them. The store is only read.
  virtual bool MarksAfter(const std::string& name, const std::string& station,
                          const std::string& after, std::size_t limit,
                          std::vector<MarkEvent>* marks, std::string* error) = 0;
  // The pool's attempts with an id above after, the newest first, at most limit of them,
  // without transcripts; the store is only read.
  virtual bool RecentAttempts(const std::string& name, std::int64_t after, std::size_t limit,
                              std::vector<Attempt>* attempts, std::string* error) = 0;

  // Every address of the pool that was ever issued (and that filter takes), in address
  // order, each handed to row as the store delivers it: memory stays the same whatever the
  // record's length. The store is only read, so stations go on meanwhile. On failure, the
  // rows before it have been handed over already.
  virtual bool Export(const std::string& name, const RecordFilter& filter,
                      const std::function<void(const AddressRecord&)>& row, std::string* error) = 0;
  bool Export(const std::string& name, const std::function<void(const AddressRecord&)>& row,
              std::string* error) {
    return Export(name, RecordFilter{}, row, error);
  }

  // Puts one attempt of a board at a station of pool name on record, with its transcript as
  // Transcript::Encode gave it (kept as bytes), and gives its id. attempt.id and attempt.pool
  // are not read. Refused without a station or an end time, for a station name that
  // NameProblem refuses, for an unknown pool, or for an address outside the pool's range. The same
  // attempt again (station, port, CODE and end times) is success with the first one's id, so that
  // one whose acknowledgement was lost may be put on record again. Durable when it returns.
  virtual bool RecordAttempt(const std::string& name, const Attempt& attempt,
                             const std::string& transcript, std::int64_t* id,
                             std::string* error) = 0;
  // Every attempt that wrote address, oldest end first, without transcripts; the store is only
  // read.
  virtual bool History(Mac48 address, std::vector<Attempt>* attempts, std::string* error) = 0;
  // The transcript of attempt id as recorded; refused for an id not on record. The store is
  // only read.
  virtual bool TranscriptOf(std::int64_t id, std::string* transcript, std::string* error) = 0;
  // The pool's attempts that filter takes, in the order they ended, without transcripts. They
  // are read a batch at a time, each batch in a transaction of its own that only reads, so a
  // long record never sits in memory whole and no station waits for it; an attempt put on
  // record meanwhile may or may not be among them.
  virtual bool ExportAttempts(const std::string& name, const AttemptFilter& filter,
                              const std::function<void(const Attempt&)>& row,
                              std::string* error) = 0;
  // Every station's attempts that ended at since or later and before until (empty for no
  // bound).
  bool ExportAttempts(const std::string& name, const std::string& since, const std::string& until,
                      const std::function<void(const Attempt&)>& row, std::string* error) {
    return ExportAttempts(name, AttemptFilter{since, until, ""}, row, error);
  }
};

}  // namespace pelorus::pool
