#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "programming/dialogue_surroundings.h"
#include "programming/mac_address_fields.h"
#include "programming/programming_dialogue.h"
#include "run/attempt_recorder.h"
#include "run/mailbox.h"
#include "run/run_observer.h"
#include "run/run_station.h"
#include "serial/comm.h"
#include "serial/port_notify.h"

namespace pelorus {

// One port's runs: the port (CComm and its watcher), the programming dialogue, the address,
// and with a pool the station's claim, leases, marks and each board's attempt. A run goes from
// Start until Stop, or until it cannot go on; runs of one port follow one another on a thread
// of the Run's own, which lives as long as the object.
//
// The run's thread is the only one that touches the port, the dialogue, the address and the
// store, and it never nests a wait: each of its blocking points (the dialogue's timed waits,
// a store step and the wait for a store that does not answer, the banner, a console server
// being reached, a lost port waited for) ends at once on Stop. Whoever shows the run (the
// window, the rack station) gets its news through a RunObserver and passes on the operator's
// commands (Start, Stop, StepByHand, BannerClosed), none of which waits for the run.
//
// Once a read-back has matched, the board is verified whatever comes next: its mark goes on
// record (or into the station's journal) and its attempt ends verified even when the run is
// stopped meanwhile; a board whose banner never closed is told at the station's next start.
class Run : private DialogueSurroundings, private PortNotify {
 public:
  // How a dialogue's wait passes its time; by default the run's thread sleeps until the
  // deadline. A stop ends the wait either way, before or after the function has run.
  using WaitFunction = std::function<void(std::chrono::milliseconds)>;

  // observer must outlive the Run. Without a station the address is kept in memory and stepped.
  explicit Run(RunObserver& observer, std::unique_ptr<RunStation> station = nullptr);
  // Stops the run under way and waits for its thread.
  ~Run() override;
  Run(const Run&) = delete;
  Run& operator=(const Run&) = delete;

  // Before the first Start.
  void SetWaitFunction(WaitFunction wait);

  bool HasPool() const { return station_ != nullptr; }
  // The pool's name, empty without one.
  const std::string& PoolName() const;

  // Between runs: the device the port list leads to (the station's name follows it), and a
  // request for the station's address and the pool's line (RunObserver::StationAddress,
  // PoolLine).
  void SetDevice(const std::string& device);
  void RequestStatus();
  // Between runs: the device the port opens, in place of the one its name maps to (see
  // CComm::SetTarget); empty: the name's.
  void SetTarget(const std::string& target);
  // Between runs: the port's name in the record and in the run's messages, in place of its
  // COMn name (a rack station names its ports itself); empty, the default: the COMn name.
  void SetPortName(const std::string& name);

  // Starts a run on the port settings name, with octets as its address (with a pool the
  // pool's address replaces it); returns the run's number. The run claims and leases first,
  // then opens the port; RunStarted or RunFailed tells how that went.
  std::uint64_t Start(const PortSettings& settings, const std::array<std::string, 6>& octets);
  // Ends the run under way: nothing more goes to the device from this moment, and the run
  // lets go of its port and claim as soon as its thread can.
  void Stop();
  void StepByHand(int direction);
  void BannerClosed();

  // Whether the run's port is open now (any thread).
  bool IsPortOpen() const { return port_open_; }

 private:
  void Main();
  void RunOnce(std::uint64_t run);
  // Claims the station and leases the run's address; false when the run cannot start.
  bool StartOnPool(std::uint64_t run);
  // Opens the port (quietly: nothing on stderr); 1 when open.
  int OpenPort(bool quietly);
  std::string OpenFailureDetail() const;
  // The port went away: waits for it and opens it again; false when the run stopped first.
  bool WaitForPort(std::uint64_t run);
  void StepNow(int direction);
  void ReportStation();
  void EndRun(const std::string& text, const std::string& detail);
  // Hands the console bytes logged so far to the observer.
  void FlushLog();
  // A line of the run's own for the log, after the console bytes before it.
  void Note(const std::string& note);
  // The run's next event: what was held back while a chunk was in hand first.
  std::optional<Mailbox::Event> NextEvent(std::uint64_t run);
  // Tries step until the store answers (kDone or kRefused), waiting between tries with the
  // status line saying why; kUnavailable only when the run was stopped meanwhile.
  RunStation::Answer UntilAnswered(const std::function<RunStation::Answer(std::string*)>& step,
                                   std::string* error);
  void FinishAttempt(pool::AttemptOutcome outcome);
  // What the station is doing now, for the line to see (with a pool).
  void Publish(pool::StationActivity activity, const std::string& detail = {});
  void RecordFinishedAttempts();
  void SetOctets(Mac48 address);
  std::string PortName() const;

  // The dialogue's surroundings.
  void LoadFields() override;
  void StoreFields() override;
  void ScrollLogToEnd() override {}
  void AppendLog(const char* bytes, std::size_t count) override;
  void Write(std::size_t count, const char* bytes) override;
  void SetAlert(const std::string& text) override { banner_text_ = text; }
  void DoModal() override;
  void BeginWait(std::chrono::milliseconds duration) override;
  bool EndWait() override;
  void StopRun(const std::string& reason) override;
  bool AboutToWrite(const std::string& address) override;
  bool Verified(const std::string& address, const std::string& line) override;
  NextAddress TakeNextAddress() override;
  void Noted(Step step) override;

  // The port's news; the watcher's thread calls them.
  void PostPortData(std::uint64_t ticket, int n) override;
  void PostPortLost(std::uint64_t ticket) override;
  void ShowMessage(const std::string& text, const std::string& caption, bool warning) override;
  bool WaitReady(int fd, short events, std::chrono::milliseconds timeout) override;

  RunObserver& observer_;
  std::unique_ptr<RunStation> station_;
  WaitFunction wait_;
  Mailbox mailbox_;
  std::atomic<bool> port_open_{false};

  // Handed over from the caller's thread under mutex_.
  std::mutex mutex_;
  std::string device_;
  std::string target_;
  std::string port_name_;
  PortSettings settings_{};
  std::array<std::string, 6> octets_;

  // The run's thread's own.
  PortSettings run_settings_{};  // what the run under way opens its port with
  std::string run_port_name_;    // and what it calls the port; empty: its COMn name
  CComm comm_;
  MacAddressFields fields_;
  ProgrammingDialogue dialogue_;
  AttemptRecorder attempts_;
  std::deque<AttemptRecorder::Finished> finished_;  // attempts ended, not yet on record
  std::deque<Mailbox::Event> held_;                 // news that came while a chunk was in hand
  std::string log_;                                 // console bytes not yet handed to the observer
  std::uint64_t run_ = 0;                           // the run under way; 0 between runs
  bool ending_ = false;               // the run cannot go on: it ends once the chunk is done
  std::array<std::string, 6> shown_;  // the octets last reported, as the view shows them
  std::string banner_text_;
  std::chrono::milliseconds wait_duration_{0};
  Mailbox::Clock::time_point wait_from_{};
  std::optional<std::pair<Mac48, std::string>> written_;  // written, not yet verified, and when
  std::pair<pool::StationActivity, std::string> activity_{pool::StationActivity::kIdle, {}};
  std::thread thread_;  // last: starts once everything above is in place
};

}  // namespace pelorus
