#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "pool/state_publisher.h"
#include "pool/station.h"
#include "run/attempt_recorder.h"

namespace pelorus {

// A run's end of the address pool: which pool, which station the run's port is, and the
// station's claim, leases and marks, each step made at once on the caller's thread (the run's
// own; steps never overlap). A run without a pool has none of this and keeps its address in
// memory.
//
// Beside the station's journal it keeps the board in hand: its written mark until its attempt
// is on record, and its verified mark until its banner is closed, so that the station's next
// claim can tell a board whose run ended from one still to do.
class RunStation {
 public:
  struct Config {
    std::string location;
    std::string name = pool::AddressPool::kDefaultName;
    std::string station;  // empty: the host's name and the port's device
    // Where the station's state goes for the line to see (one publisher per process); none:
    // the state is not published.
    std::shared_ptr<pool::StatePublisher> publisher;
  };

  // What became of a step (see pool::Outcome): kRefused is the pool's answer (a station held
  // by another, a used-up pool), kUnavailable a store that failed or did not answer.
  using Answer = pool::Outcome;

  // Opens the pool for the station of the first port (see SetDevice) and checks that the pool
  // exists; null with *error otherwise. The caller's thread may then hand the object to a run.
  static std::unique_ptr<RunStation> Open(const Config& config, std::string* error);
  ~RunStation();

  // The station's default name: the host's and the device the port leads to as configured
  // (a device path, preferably its /dev/serial/by-id/ name, or a console server's URL), so
  // that two consoles never share a name and a run restarted on the same adapter keeps its
  // own. A name given in the configuration wins. Only between runs.
  void SetDevice(const std::string& device);
  const std::string& Station() const { return station_name_; }
  const std::string& Name() const { return config_.name; }

  // Claims the station and puts its journal on record; *notes receives a line for every
  // journal mark. *unannounced receives the boards that a run of this station verified and
  // then lost before their banner was closed (a window killed or ended, a run stopped): they
  // hold their addresses and are done, which the operator must be told. A board whose address
  // went out before such a run ended, and that never read back, goes on record as an attempt
  // that ended with the window.
  Answer Claim(std::vector<std::string>* notes, std::vector<std::string>* unannounced,
               std::string* error);
  void Unclaim();
  Answer Lease(Mac48* address, std::string* error);
  // Takes the station's leased address (a new one when the last was written and never
  // confirmed: it is spent) into *address and puts it on record as written through port, the
  // mark carrying the lease's token. Tried again after the store failed, it replays the same
  // mark (a commit whose answer was lost is taken as done) rather than leasing anew. code_at is
  // when the board's attempt began, kept with the board in hand.
  Answer LeaseAndMarkWritten(Mac48* address, const std::string& port, const std::string& code_at,
                             std::string* error);
  // The mark carries the token of the lease that wrote address. kDone also when the store
  // failed but the mark is in the station's journal (*journaled).
  // Until Announced, the board counts as unannounced for the station's next Claim.
  Answer MarkVerified(Mac48 address, const std::string& line, bool* journaled, std::string* error);
  // The banner of the last verified board was closed.
  void Announced();
  // Puts a finished attempt and its transcript on record (or in the journal while the store
  // fails); a verified one stays the board in hand until Announced. The attempt's id on record,
  // 0 when it is not.
  std::int64_t RecordAttempt(const AttemptRecorder::Finished& finished);

  // Ends the store step under way soon, and every later one at once, as the store failing:
  // a mark then goes to the journal. Any thread. Until Resume, on the steps' thread; for_good
  // (the run's owner is going) makes Resume do nothing from then on.
  void Interrupt(bool for_good = false);
  void Resume();

  // The station is now doing activity (detail: see pool::StationState), for the line to see;
  // the same again is no news. Never waits for the store.
  void Publish(pool::StationActivity activity, const std::string& detail = {});

  // The station's leased address, if any, to show before a run.
  std::optional<Mac48> Current();
  // "pool LINE-A: 1,234 / 4,096 used · station bench3:/dev/ttyUSB0 · this station 17": the
  // addresses issued, the pool's size, the station and the boards it verified since it opened.
  std::string StatusLine();

 private:
  explicit RunStation(Config config);
  // The station for the current name, opened anew when the name changed; null with *error.
  pool::Station* Current(std::string* error);

  Config config_;
  std::string host_;
  std::string station_name_;
  int verified_ = 0;
  std::optional<std::pair<pool::StationActivity, std::string>> published_;  // and for whom:
  std::string published_station_;
  pool::LeasedAddress leased_;  // the station's lease in hand
  bool writing_ = false;        // leased_'s written mark was asked for and not yet answered
  // Swapped (a new station name) on the steps' thread under interrupt_mutex_, which Interrupt
  // takes, so that an interrupt always reaches the station in use.
  std::mutex interrupt_mutex_;
  bool interrupted_ = false;
  bool for_good_ = false;
  std::unique_ptr<pool::Station> station_;
  std::unique_ptr<pool::StationJournal> board_;
};

}  // namespace pelorus
