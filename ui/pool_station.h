#pragma once

#include <QObject>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "pool/station.h"
#include "ui/attempt_recorder.h"
#include "ui/store_worker.h"

class QEventLoop;

namespace pelorus {

// The window's end of the address pool: which pool, which station this window is, and the
// station's claim, leases and marks, each run on a thread of its own (StoreWorker) so that
// the window keeps painting and answering its operator while the store takes its time. A
// window with no pool has none of this and keeps its addresses in memory.
//
// The steps the window must wait for (Claim, Lease, MarkWritten, MarkVerified) run the
// window's event loop until the store answers or CancelWait is called; the status line and
// the address shown before a run are asked for without waiting.
class PoolStation : public QObject {
  Q_OBJECT

 public:
  struct Config {
    std::string location;
    std::string name = pool::AddressPool::kDefaultName;
    std::string station;  // empty: the host's name and the port's device
  };

  // What became of a step the window waited for.
  enum class Answer {
    kDone,
    kRefused,    // the pool's rules say no (a station held by another window, a used-up pool);
                 // *error says why
    kFailed,     // the store failed or did not answer; the same step may succeed later
    kCancelled,  // the window stopped waiting: the step goes on by itself, and whatever it puts
                 // on record stays there
  };

  // Opens the pool for the station of the first port (see SetDevice) and checks that the pool
  // exists; null with *error otherwise.
  static std::unique_ptr<PoolStation> Open(const Config& config, std::string* error);
  ~PoolStation() override;

  // The station's default name: the host's and the device the port leads to as configured
  // (a device path, preferably its /dev/serial/by-id/ name, or a console server's URL), so
  // that two consoles never share a name and a window restarted on the same adapter keeps its
  // own. A name given in the configuration wins. Only between runs.
  void SetDevice(const std::string& device);
  const std::string& Station() const { return station_name_; }
  const std::string& Name() const { return config_.name; }

  // Claims the station for this window's run and puts its journal on record; *notes receives
  // a line for every journal mark. *unannounced receives the boards that a window of this
  // station verified and then ended (killed, powered off) before their banner was closed:
  // they hold their addresses and are done, which the operator must be told. A board whose
  // address went out before such a window ended, and that never read back, goes on record
  // as an attempt that ended with the window.
  Answer Claim(std::vector<std::string>* notes, std::vector<std::string>* unannounced,
               std::string* error);
  // Gives the claim back once every step posted before has finished.
  void Unclaim();
  Answer Lease(Mac48* address, std::string* error);
  // Takes the station's leased address (a new one when the last was written and never
  // confirmed: it is spent) into *address and puts it on record as written through port, in
  // one go on the store's thread: once asked for, both happen even if the window stops
  // waiting.
  // code_at is when the board's attempt began, kept with the mark until the attempt is on
  // record.
  Answer LeaseAndMarkWritten(Mac48* address, const std::string& port, const std::string& code_at,
                             std::string* error);
  // kDone also when the store failed but the mark is in the station's journal (*journaled).
  // Until Announced, the board counts as unannounced for the station's next Claim.
  Answer MarkVerified(Mac48 address, const std::string& line, bool* journaled, std::string* error);
  // The banner of the last verified board was closed.
  void Announced();
  // Puts a finished attempt and its transcript on record, after every step asked for before
  // it (a verified one goes with its verified mark); the window does not wait.
  void RecordAttempt(AttemptRecorder::Finished finished);
  // Runs step again and again while it fails for the store, waiting between tries (from
  // 250 ms, doubling, up to 2 s) and telling `waiting` why before each wait; ends on any
  // other answer, or kCancelled once CancelWait is called.
  Answer UntilAnswered(const std::function<Answer(std::string* error)>& step,
                       const std::function<void(const std::string&)>& waiting);
  // Ends the wait under way at once (its answer is kCancelled); nothing when none runs.
  void CancelWait();

  // The station's leased address, if any, for the window to show before a run.
  void RequestCurrent(std::function<void(std::optional<Mac48>)> done);
  // "pool LINE-A: 1,234 / 4,096 used · station bench3:/dev/ttyUSB0 · this station 17": the
  // addresses issued, the pool's size, the station and the devices it verified since the
  // window opened.
  void RequestStatusLine(std::function<void(const std::string&)> done);

 private:
  struct Call;

  explicit PoolStation(Config config);
  // Runs step on the store's thread with the station opened for the current name.
  Answer Wait(std::function<bool(pool::Station&, std::string*)> step, std::string* error);
  // On the store's thread: the station for name, opened anew when the name changed.
  pool::Station* StationFor(const std::string& name, std::string* error);
  std::string NameFor(const std::string& device) const;

  Config config_;
  std::string host_;
  std::string station_name_;  // the window's thread's
  int verified_ = 0;
  QEventLoop* loop_ = nullptr;
  bool cancelled_ = false;
  std::uint64_t calls_ = 0;
  // Only the store's thread touches the station once the worker runs.
  std::unique_ptr<pool::Station> station_;
  // The board in hand, kept beside the station's journal: its written mark until its attempt
  // is on record, and its verified mark until its banner is closed.
  std::unique_ptr<pool::StationJournal> board_;
  StoreWorker worker_;
};

}  // namespace pelorus
