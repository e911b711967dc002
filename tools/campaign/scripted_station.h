#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <random>
#include <string>

#include "child_process.h"
#include "poll_set.h"

namespace pelorus::campaign {

// Two scripts of one station beside the windows, as a line's own tooling would run them:
// each "programs" boards of its own with `pelorus-pool lease`, `written` and `verified`, one
// child process per step, both at once on the same station name. A step that exits 1 is
// tried again a few times (the other script may hold the station's claim just then); a
// board whose `written` never succeeded stays blank. With tokens (the tool's lease --json),
// each mark carries its lease's token.
class ScriptedStation {
 public:
  using Timer = std::function<void(std::chrono::milliseconds, std::function<void()>)>;
  // A board of a script: `written` exited 0 for it (verified false), or then `verified` did.
  using BoardNews = std::function<void(int board, std::uint64_t address, bool verified)>;

  struct Config {
    std::string tool;      // pelorus-pool
    std::string location;  // the pool's store
    std::string station;
    std::string state_home;  // XDG_STATE_HOME: where the station's journal lives
    std::string log;         // each step and the tool's stderr
    bool tokens = false;
    int first_board = 1;  // the boards are numbered from here on, across rounds
    std::uint64_t seed = 1;
  };

  ScriptedStation(Config config, Timer at, BoardNews news);
  ~ScriptedStation();
  ScriptedStation(const ScriptedStation&) = delete;
  ScriptedStation& operator=(const ScriptedStation&) = delete;

  // Both scripts program `boards` boards each; only once the last round is over.
  void Begin(int boards);
  bool Busy() const;
  // Every turn of the loop: the steps under way.
  void Watch(PollSet* set);
  // Lets the steps under way finish (bounded) and starts no other.
  void Stop();

  int Boards() const { return next_board_ - config_.first_board; }
  // Times a lease gave a script the address the other script held leased or in hand.
  int SharedLeases() const { return shared_leases_; }

 private:
  enum class Step { kIdle, kLease, kWritten, kVerified };
  struct Script {
    int index = 0;
    ChildProcess process;
    Step step = Step::kIdle;
    int tries = 0;
    int boards_left = 0;
    std::uint64_t address = 0;
    bool holds = false;  // the address is leased to it or in its board, not yet done with
    std::string token;
    int board = 0;
  };
  void Launch(Script* s, Step step);
  void Ended(Script* s);
  void Again(Script* s, int limit);
  void NextBoard(Script* s);
  void Later(Script* s, int min_ms, int max_ms, Step step);
  void Log(const std::string& line) const;

  Config config_;
  Timer at_;
  BoardNews news_;
  std::mt19937_64 rng_;
  Script scripts_[2];
  int next_board_;
  int shared_leases_ = 0;
  bool stopping_ = false;
};

}  // namespace pelorus::campaign
