#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace pelorus::campaign {

// Judges a campaign from what is left of it: the boards' ledgers (where each board went and
// what its flash held when it last left the bench), the boards the scripts programmed, the
// pool's exported record (with every station's journal put on record first), the lines the
// operators printed, the rack station's events, and what the campaign saw of the windows and
// the rack. The rules:
//  1. no address is held by two boards;
//  2. every board that holds an address of the pool has it on record as written or verified;
//  3. every verified address is held by a board, and every banner's address too;
//  4. no board holds an address outside the pool;
//  5. every address a window, a rack port or a script saw read back, and that was announced as
//     such (a banner, a board reported done at the next start, a read-back the pool would not
//     take, a rack's "verified" event whether on record or in its journal, a `verified` that
//     exited 0), is on record as verified;
//  6. a window ends within 5 s of END, the rack station within 5 s of SIGTERM;
//  7. no window is refused by a claim of its own process.
// Rules 6 and 7 are the campaign's findings, added as they happen.
class CampaignOracle {
 public:
  static constexpr int kRules = 7;
  // Scripted boards are numbered from here, beyond any bench's serials.
  static constexpr int kScriptedBoards = 900000000;

  CampaignOracle(std::uint64_t first, std::uint64_t last);

  // False with *error when a file cannot be read or a line is not understood.
  bool ReadLedger(const std::string& path, std::string* error);
  bool ReadRecord(const std::string& csv_path, std::string* error);
  // A line an operator printed: "BANNER ... (00:1A:2B:3C:4D:5E)", or a message that names a
  // board the window saw read back; other lines are ignored.
  void AddWindowLine(const std::string& line, const std::string& window);
  // The rack station's events file: a line per attempt, whose "verified" ones (with an attempt
  // id, or 0 when the mark went into the port's journal) are read-backs.
  bool ReadRackEvents(const std::string& path, std::string* error);
  // A scripted board now holds address (its `written` exited 0); verified: its `verified` did.
  void AddScriptedBoard(int board, std::uint64_t address, bool verified);
  void AddFinding(int rule, const std::string& example);

  struct Violation {
    int rule = 0;
    std::string example;
  };
  std::vector<Violation> Check() const;

  int Boards() const { return static_cast<int>(held_.size()); }
  int ScriptedBoards() const { return scripted_; }
  int Banners() const { return banners_; }
  int Verified() const;
  // The rack's "verified" events; those of them whose mark went into a journal.
  int RackVerified() const { return rack_verified_; }
  int RackJournaled() const { return rack_journaled_; }

 private:
  void ReadBack(std::uint64_t address, const std::string& who);

  std::uint64_t first_;
  std::uint64_t last_;
  std::map<int, std::uint64_t> held_;  // serial -> flash at its last leaving (blank included)
  std::map<std::uint64_t, std::string> record_;          // address -> state
  std::map<std::uint64_t, std::string> banner_windows_;  // address -> the window that showed it
  std::map<std::uint64_t, std::string> read_back_;       // address -> who saw it read back
  std::vector<Violation> findings_;
  int banners_ = 0;
  int scripted_ = 0;
  int rack_verified_ = 0;
  int rack_journaled_ = 0;
};

// "00:1A:2B:3C:4D:5E" or "00-1A-..." -> number; false for anything else.
bool ReadAddress(const std::string& text, std::uint64_t* address);
std::string AddressText(std::uint64_t address);

}  // namespace pelorus::campaign
