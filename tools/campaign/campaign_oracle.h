#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace pelorus::campaign {

// Judges a campaign from what is left of it: the boards' ledgers (where each board went and
// what its flash held when it last left the bench), the pool's exported record and the
// banners the operators saw. The rules:
//  1. no address is held by two boards;
//  2. every board that holds an address of the pool has it on record as written or verified;
//  3. every verified address is held by a board, and every banner's address too;
//  4. no board holds an address outside the pool.
class CampaignOracle {
 public:
  CampaignOracle(std::uint64_t first, std::uint64_t last);

  // False with *error when a file cannot be read or a line is not understood.
  bool ReadLedger(const std::string& path, std::string* error);
  bool ReadRecord(const std::string& csv_path, std::string* error);
  // A line an operator printed: "BANNER ... (00:1A:2B:3C:4D:5E)"; other lines are ignored.
  void AddBanner(const std::string& line, const std::string& window);

  struct Violation {
    int rule = 0;
    std::string example;
  };
  std::vector<Violation> Check() const;

  int Boards() const { return static_cast<int>(held_.size()); }
  int Banners() const { return banners_; }
  int Verified() const;

 private:
  std::uint64_t first_;
  std::uint64_t last_;
  std::map<int, std::uint64_t> held_;  // serial -> flash at its last leaving (blank included)
  std::map<std::uint64_t, std::string> record_;          // address -> state
  std::map<std::uint64_t, std::string> banner_windows_;  // address -> the window that showed it
  int banners_ = 0;
};

// "00:1A:2B:3C:4D:5E" or "00-1A-..." -> number; false for anything else.
bool ReadAddress(const std::string& text, std::uint64_t* address);
std::string AddressText(std::uint64_t address);

}  // namespace pelorus::campaign
