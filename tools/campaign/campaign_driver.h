#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "campaign_oracle.h"
#include "child_process.h"
#include "poll_set.h"
#include "scripted_station.h"
#include "tcp_relay.h"

namespace pelorus::campaign {

struct CampaignConfig {
  std::string store = "sqlite";  // "sqlite" or "postgres" (the server from the environment)
  std::uint64_t seed = 1;
  int boards = 100;    // stop once this many boards have left the benches ...
  int seconds = 60;    // ... or after this long, whichever comes first
  int windows = 3;     // one simulated bench and one window each
  int rack_ports = 8;  // ports of the one rack station, one simulated bench each; 0: no rack
  std::string out;     // everything the run leaves: logs, ledgers, the record, the summary
  std::string bin;     // pelorus-pool, pelorus-devsim, pelorus-campaign-window, pelorus-station
  std::string self;    // this program, which also holds the store on request (store_holder.h)
};

// The fault campaign: simulated benches, real windows each with an operator, one address
// pool, and faults at seeded moments: a window killed and restarted, RESET and START again,
// the store made unreachable for a while (a SQLite file locked, PostgreSQL sessions ended or
// the server restarted), two windows started as one station, two windows reaching their
// benches through a console server. Besides, at moments keyed to what a window or its bench
// just did: the store held exactly while a window waits on it (its claim and lease at START,
// its written mark, its verified mark, its next lease) and RESET or END pressed meanwhile; a
// window refused at START (its station held by another) that later meets the store out of
// reach at a verified mark and at its journal's replay; two scripts of one station
// programming boards of their own with pelorus-pool; on PostgreSQL, one window's line to the
// server cut without a reset (tcp_relay.h), leaving a session of it on the server. The
// benches add their own faults (bad flash, boards pulled off or unplugged after the address
// command, noise in the read-back) and put back the boards that left unconfirmed. Beside the
// windows, one rack station (pelorus-station) programs boards on ports of its own, each with
// its own bench, and is killed (kill -9) or stopped (SIGTERM) at seeded moments keyed to what
// one of its benches just did, then started again on the same ports (campaign_rack.cpp). At the
// end everything is stopped, every station's journal put on record, and the oracle judges.
// Single-threaded: one poll loop over the children's output and pidfds, the relay and the
// timers.
class CampaignDriver {
 public:
  explicit CampaignDriver(CampaignConfig config);
  ~CampaignDriver();

  // Runs the whole campaign; false with *error when it could not be set up or judged.
  bool Run(std::string* error);

  const CampaignOracle& Oracle() const { return *oracle_; }
  const std::map<std::string, int>& Faults() const { return faults_; }
  int BoardVisits() const { return visits_; }
  int BenchBoards() const { return static_cast<int>(boards_.size()); }
  double Seconds() const { return seconds_; }

 private:
  using Clock = std::chrono::steady_clock;
  enum class Mode { kDirect, kSharedStation, kConsoleServer };
  struct Window {
    int index = 0;
    Mode mode = Mode::kDirect;
    int server_port = 0;
    ChildProcess process;
    bool expected_exit = false;
    bool busy = false;                // an episode or a held step has it: no other fault picks it
    Clock::time_point end_pressed{};  // END was pressed then; {} when it was not
    std::string end_reason;           // what END was pressed for
    std::function<void()> after_end;  // what follows once it has ended
    int own_refusal_cut = -1;         // the cut after which it was refused by itself last
  };
  struct Bench {
    ChildProcess process;
    bool rack = false;  // one of the rack's ports'
    std::string name;   // "2" for window 2's, "rack-3" for the rack's port R3: its files' names
    std::string link;
    std::uint64_t written = 0;  // what the board on it was last written
  };
  // The store held while one window waits on it in one step (campaign_holds.cpp).
  enum class HoldStep { kStart, kWritten, kVerified, kLease };
  struct StepHold {
    enum class Phase { kIdle, kArming, kTaking, kHeld, kPressed };
    Phase phase = Phase::kIdle;
    Window* w = nullptr;
    HoldStep step = HoldStep::kStart;
    bool end = false;           // END rather than RESET
    bool kill = false;          // PostgreSQL: the sessions are ended during the wait too
    bool banner_held = false;   // the operator was told to keep the next banner up
    bool entered = false;       // the window has entered the step: RESET or END is due
    bool after_banner = false;  // the window's last line was a banner
    std::uint64_t generation = 0;
  };
  // A START refused, then the store out at a verified mark and a replay (campaign_refusal.cpp).
  struct RefusalEpisode {
    enum class Phase {
      kIdle,
      kHolderStarts,  // b starts on the station
      kRefusing,      // a pressed START on it
      kRunning,       // a runs on it: the next "done" of its bench cuts the store off
      kTaking,
      kHeld,
      kRead,    // the read-back came: a's verified mark meets the store out of reach
      kReplay,  // a pressed START again with the mark in its journal
      kDone,    // the store is back
    };
    Phase phase = Phase::kIdle;
    Window* a = nullptr;  // the window refused, and later out of reach of the store
    Window* b = nullptr;  // the window that holds the station meanwhile
    int tries = 0;
    std::uint64_t generation = 0;
  };

  // The rack station: its process, and the next kill or stop, struck at the next `moment` (a
  // bench's "prompt", "write" or "done") of any of its benches.
  struct Rack {
    enum class Strike { kNone, kKill, kStop };
    ChildProcess process;
    std::size_t first_bench = 0;  // benches_[first_bench ...] are its ports'
    Strike armed = Strike::kNone;
    std::string moment;
    std::uint64_t generation = 0;
    int turn = 0;                 // kill and stop take turns
    bool expected_exit = false;   // the campaign killed or stopped it
    Clock::time_point stopped{};  // SIGTERM was sent then; {} when it was not
    std::string stop_reason;      // what it was stopped for
  };

  // campaign_driver.cpp
  bool CreatePool(std::string* error);
  // Bench i (its serials, its seed): window i's, or with rack the rack's port i - windows.
  bool StartBench(int i, bool rack, std::string* error);
  void OnBenchOutput(int i);
  void At(Clock::duration after, std::function<void()> action);
  void Loop();
  void Finish();

  // campaign_windows.cpp
  void StartWindow(Window* w, bool press_start = true);
  // END on every window and SIGTERM to the rack, and waits for them to go (killed when still
  // there 15 s on). Every END the campaign presses is timed: a window that takes longer than
  // 5 s is a finding.
  void StopAll(const std::string& reason);
  // END without waiting: after runs once it has gone.
  void EndWindow(Window* w, const std::string& reason, std::function<void()> after);
  // END on each of windows that is up, without waiting; then runs once every one has gone.
  void StopThen(const std::vector<Window*>& windows, const std::string& reason,
                std::function<void()> then);
  double Now() const;  // seconds since the campaign started
  void OnWindowOutput(Window* w);
  void OnWindowExit(Window* w);
  std::string StationOf(const Window& w) const;
  std::string LocationOf(const Window& w) const;

  // campaign_judge.cpp
  bool Judge(std::string* error);
  // Runs a program to its end (bounded), the relay forwarding meanwhile.
  bool RunToEnd(const ChildProcess::Spec& spec, int ms, std::string* error);
  bool ToolMentions(const std::vector<std::string>& args, const std::string& text);

  // campaign_faults.cpp
  // A seeded pause of at least min_ms and less than max_ms.
  std::chrono::milliseconds Between(int min_ms, int max_ms);
  std::vector<std::string> FaultKinds() const;
  void ScheduleFault();
  void Inject(const std::string& kind);
  void KillWindow();
  void ResetWindow();
  void SharedStation();
  void ConsoleServer();
  void EndEpisode(std::vector<Window*> windows);
  void RunHelper(const std::vector<std::string>& argv, const std::string& name);
  Window* AnyFreeWindow(Mode mode);
  std::vector<Window*> FreePair();
  // The store holder's next answer goes to answered.
  void Holder(const std::string& command, std::function<void(const std::string&)> answered);
  // A hold, a lock, a session fault or a server restart is under way.
  bool StoreBusy() const;
  void ScheduleScripts(bool first);
  void ScheduleCut(bool first);
  // The relayed window's bench is mid-board: its line to the server is cut now.
  void Cut();

  // campaign_rack.cpp
  void StartRack();
  std::string RackStation(int port) const;  // "rack/R1" for the first port
  void ScheduleRack(bool first);
  void ArmRack();
  void RackBenchNews(std::size_t bench, const std::string& event);
  void StrikeRack(const std::string& when);
  // SIGTERM, timed as END is: a rack that takes longer than 5 s is a finding.
  void StopRack(const std::string& reason);
  void OnRackExit();
  void NoteRack(const std::string& line) const;

  // campaign_holds.cpp
  void ScheduleHold(bool first);
  void BeginHold();
  void HoldNews(Window* w, const std::string& line);
  void HoldBenchNews(int bench, const std::string& event, const std::string& line);
  void TakeHold(std::uint64_t generation, std::function<void()> then);
  void EnterStep();
  void Press(std::uint64_t generation);
  void AbortHold(const std::string& why);
  void FinishHold();
  std::string HoldName() const;
  void NoteHold(const std::string& line) const;

  // campaign_refusal.cpp
  void ScheduleRefusal(bool first);
  void BeginRefusal();
  void RefusalNews(Window* w, const std::string& line);
  void RefusalBenchNews(int bench, const std::string& event, const std::string& line);
  void RefusalStoreBack(bool count);
  void NoteRefusal(const std::string& line) const;
  void EndRefusal(const std::string& why);

  CampaignConfig config_;
  std::string location_;  // the pool as the windows name it
  std::string database_;  // PostgreSQL: the campaign's own database
  std::string cluster_;   // PostgreSQL: "15/regress", the server's cluster; empty: not restarted
  std::mt19937_64 rng_;
  std::unique_ptr<CampaignOracle> oracle_;
  std::vector<std::unique_ptr<Bench>> benches_;
  std::vector<std::unique_ptr<Window>> windows_;
  Rack rack_;
  std::vector<std::unique_ptr<ChildProcess>> helpers_;
  std::unique_ptr<ChildProcess> console_server_;
  std::multimap<Clock::time_point, std::function<void()>> timers_;
  std::map<std::string, int> faults_;
  std::set<std::pair<std::string, std::string>> stations_;  // (location, station) used
  ChildProcess holder_;
  std::deque<std::function<void(const std::string&)>> holder_answers_;
  bool store_busy_ = false;          // the holder holds the store or is about to
  std::unique_ptr<TcpRelay> relay_;  // PostgreSQL: window 1 reaches the server through it
  bool cut_armed_ = false;           // the next step of window 1's board cuts its line
  int cuts_ = 0;
  std::unique_ptr<ScriptedStation> scripts_;
  StepHold hold_;
  int hold_turn_ = 0;  // which of the eight holds comes next
  RefusalEpisode refusal_;
  bool episode_ = false;
  bool ending_ = false;
  int visits_ = 0;        // times a board left a bench ...
  std::set<int> boards_;  // ... and the boards that did
  double seconds_ = 0;
  Clock::time_point start_{};
};

}  // namespace pelorus::campaign
