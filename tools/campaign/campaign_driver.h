#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "campaign_oracle.h"
#include "child_process.h"

namespace pelorus::campaign {

struct CampaignConfig {
  std::string store = "sqlite";  // "sqlite" or "postgres" (the server from the environment)
  std::uint64_t seed = 1;
  int boards = 100;  // stop once this many boards have left the benches ...
  int seconds = 60;  // ... or after this long, whichever comes first
  int windows = 3;   // one simulated bench and one window each
  std::string out;   // everything the run leaves: logs, ledgers, the record, the summary
  std::string bin;   // pelorus-pool, pelorus-devsim, pelorus-campaign-window
  std::string self;  // this program, which also holds SQLite locks on request
};

// The fault campaign: simulated benches, real windows each with an operator, one address
// pool, and faults at seeded moments: a window killed and restarted, RESET and START again,
// the store made unreachable for a while (a SQLite file locked, PostgreSQL sessions ended or
// the server restarted), two windows started as one station, two windows reaching their
// benches through a console server. The benches add their own faults (bad flash, boards
// pulled off or unplugged after the address command, noise in the read-back) and put back
// the boards that left unconfirmed. At the end everything is stopped and the oracle judges.
// Single-threaded: one poll loop over the children's output and pidfds and the fault timers.
class CampaignDriver {
 public:
  explicit CampaignDriver(CampaignConfig config);
  ~CampaignDriver();

  // Runs the whole campaign; false with *error when it could not be set up or judged.
  bool Run(std::string* error);

  const CampaignOracle& Oracle() const { return *oracle_; }
  const std::map<std::string, int>& Faults() const { return faults_; }
  int BoardVisits() const { return visits_; }
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
  };
  struct Bench {
    ChildProcess process;
    std::string link;
  };

  bool CreatePool(std::string* error);
  bool StartBench(int i, std::string* error);
  void StartWindow(Window* w);
  void StopWindow(Window* w);
  void OnWindowOutput(Window* w);
  void OnWindowExit(Window* w);
  void At(Clock::duration after, std::function<void()> action);
  void Loop();
  void Finish();
  bool Judge(std::string* error);

  // campaign_faults.cpp
  std::vector<std::string> FaultKinds() const;
  void ScheduleFault();
  void Inject(const std::string& kind);
  void KillWindow();
  void ResetWindow();
  void LockSqlite();
  void TerminateSessions();
  void RestartServer();
  void SharedStation();
  void ConsoleServer();
  void EndEpisode(std::vector<Window*> windows);
  void RunHelper(const std::vector<std::string>& argv, const std::string& name);

  CampaignConfig config_;
  std::string location_;  // the pool as the windows name it
  std::string database_;  // PostgreSQL: the campaign's own database
  std::string cluster_;   // PostgreSQL: "15/regress", the server's cluster; empty: not restarted
  std::mt19937_64 rng_;
  std::unique_ptr<CampaignOracle> oracle_;
  std::vector<std::unique_ptr<Bench>> benches_;
  std::vector<std::unique_ptr<Window>> windows_;
  std::vector<std::unique_ptr<ChildProcess>> helpers_;
  std::unique_ptr<ChildProcess> console_server_;
  std::multimap<Clock::time_point, std::function<void()>> timers_;
  std::map<std::string, int> faults_;
  bool episode_ = false;
  bool ending_ = false;
  int visits_ = 0;
  double seconds_ = 0;
  Clock::time_point start_{};
};

}  // namespace pelorus::campaign
