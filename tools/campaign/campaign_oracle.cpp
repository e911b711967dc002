#include "campaign_oracle.h"

#include <cstring>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>

namespace pelorus::campaign {
namespace {

constexpr std::uint64_t kBlank = 0xFFFFFFFFFFFFULL;

std::string BoardName(int serial) {
  return serial >= CampaignOracle::kScriptedBoards
             ? "scripted board " + std::to_string(serial - CampaignOracle::kScriptedBoards)
             : "board " + std::to_string(serial);
}

}  // namespace

bool ReadAddress(const std::string& text, std::uint64_t* address) {
  static const std::regex form(
      "([0-9A-Fa-f]{2})[:-]([0-9A-Fa-f]{2})[:-]([0-9A-Fa-f]{2})[:-]"
      "([0-9A-Fa-f]{2})[:-]([0-9A-Fa-f]{2})[:-]([0-9A-Fa-f]{2})");
  std::smatch m;
  if (!std::regex_match(text, m, form)) {
    return false;
  }
  *address = 0;
  for (int i = 1; i <= 6; ++i) {
    *address = (*address << 8) | std::stoul(m[i].str(), nullptr, 16);
  }
  return true;
}

std::string AddressText(std::uint64_t address) {
  char text[18];
  std::snprintf(
      text, sizeof(text), "%02X:%02X:%02X:%02X:%02X:%02X",
      static_cast<unsigned>(address >> 40) & 0xFF, static_cast<unsigned>(address >> 32) & 0xFF,
      static_cast<unsigned>(address >> 24) & 0xFF, static_cast<unsigned>(address >> 16) & 0xFF,
      static_cast<unsigned>(address >> 8) & 0xFF, static_cast<unsigned>(address) & 0xFF);
  return text;
}

CampaignOracle::CampaignOracle(std::uint64_t first, std::uint64_t last)
    : first_(first), last_(last) {}

// The simulator writes these lines itself, so a fixed pattern reads them.
bool CampaignOracle::ReadLedger(const std::string& path, std::string* error) {
  static const std::regex line_form(
      R"re(\{"serial":(\d+),"address":(null|"([0-9A-F:]{17})"),"confirmed":(true|false)\})re");
  std::ifstream in(path);
  if (!in) {
    *error = "cannot read the ledger " + path;
    return false;
  }
  for (std::string line; std::getline(in, line);) {
    std::smatch m;
    std::uint64_t address = kBlank;
    if (!std::regex_match(line, m, line_form) ||
        (m[3].matched && !ReadAddress(m[3].str(), &address))) {
      *error = path + ": not a ledger line: " + line;
      return false;
    }
    held_[std::stoi(m[1].str())] = address;
  }
  return true;
}

bool CampaignOracle::ReadRecord(const std::string& csv_path, std::string* error) {
  std::ifstream in(csv_path);
  std::string line;
  if (!in || !std::getline(in, line) || line.rfind("address,state,", 0) != 0) {
    *error = "cannot read the record " + csv_path;
    return false;
  }
  while (std::getline(in, line)) {
    const auto comma = line.find(',');
    std::uint64_t address = 0;
    if (comma == std::string::npos || !ReadAddress(line.substr(0, comma), &address)) {
      // A quoted read-back line may span lines; its continuation starts with no address.
      continue;
    }
    const auto next = line.find(',', comma + 1);
    record_[address] = line.substr(comma + 1, next - comma - 1);
  }
  return true;
}

// The station writes these lines itself, field by field in one order: a fixed pattern reads
// them, and a line it does not fit is a fault of the station.
bool CampaignOracle::ReadRackEvents(const std::string& path, std::string* error) {
  static const std::regex line_form(
      R"re(^\{"time":"[^"]*","station":"[^"]*","port":"([^"]*)",)re"
      R"re(.*"address":"([^"]*)","outcome":"([^"]+)",.*"id":(\d+)\}$)re");
  std::ifstream in(path);
  if (!in) {
    *error = "cannot read the rack's events " + path;
    return false;
  }
  for (std::string line; std::getline(in, line);) {
    std::smatch m;
    if (!std::regex_match(line, m, line_form)) {
      *error = path + ": not an event line: " + line;
      return false;
    }
    if (m[3].str() != "verified") {
      continue;
    }
    std::uint64_t address = 0;
    if (!ReadAddress(m[2].str(), &address)) {
      *error = path + ": a verified board without its address: " + line;
      return false;
    }
    const bool journaled = m[4].str() == "0";
    ++rack_verified_;
    rack_journaled_ += journaled ? 1 : 0;
    ReadBack(address,
             "rack port " + m[1].str() + (journaled ? ", its journal" : ", attempt " + m[4].str()));
  }
  return true;
}

void CampaignOracle::AddWindowLine(const std::string& line, const std::string& window) {
  static const std::regex address_form("[0-9A-Fa-f]{2}([:-][0-9A-Fa-f]{2}){5}");
  // The messages of a board that read back: its run ended before the banner was closed, or
  // the pool would not take its verified mark.
  static const char* const kReadBack[] = {"MESSAGE The board with ", "MESSAGE The device shows "};
  std::smatch m;
  std::uint64_t address = 0;
  if (!std::regex_search(line, m, address_form) || !ReadAddress(m[0].str(), &address)) {
    return;
  }
  if (line.rfind("BANNER ", 0) == 0) {
    ++banners_;
    banner_windows_[address] = window;
    ReadBack(address, "window " + window + "'s banner");
    return;
  }
  for (const char* start : kReadBack) {
    if (line.rfind(start, 0) == 0 &&
        static_cast<std::size_t>(m.position(0)) == std::strlen(start)) {
      ReadBack(address, "window " + window + " (" + line.substr(8, 60) + "...)");
    }
  }
}

void CampaignOracle::AddScriptedBoard(int board, std::uint64_t address, bool verified) {
  const int serial = kScriptedBoards + board;
  scripted_ += held_.count(serial) == 0 ? 1 : 0;
  held_[serial] = address;
  if (verified) {
    ReadBack(address, BoardName(serial));
  }
}

void CampaignOracle::AddFinding(int rule, const std::string& example) {
  findings_.push_back({rule, example});
}

void CampaignOracle::ReadBack(std::uint64_t address, const std::string& who) {
  read_back_.emplace(address, who);
}

int CampaignOracle::Verified() const {
  int n = 0;
  for (const auto& [address, state] : record_) {
    n += state == "verified" ? 1 : 0;
  }
  return n;
}

std::vector<CampaignOracle::Violation> CampaignOracle::Check() const {
  std::vector<Violation> found;
  std::map<std::uint64_t, std::vector<int>> holders;
  for (const auto& [serial, address] : held_) {
    if (address != kBlank) {
      holders[address].push_back(serial);
    }
  }
  for (const auto& [address, serials] : holders) {
    if (serials.size() > 1) {
      std::ostringstream text;
      text << AddressText(address) << " held by";
      for (std::size_t i = 0; i < serials.size(); ++i) {
        text << (i == 0 ? " " : ", ") << BoardName(serials[i]);
      }
      found.push_back({1, text.str()});
    }
    const bool in_pool = address >= first_ && address <= last_;
    const auto state = record_.find(address);
    if (in_pool &&
        (state == record_.end() || (state->second != "written" && state->second != "verified"))) {
      found.push_back({2, AddressText(address) + " held by " + BoardName(serials[0]) + " is " +
                              (state == record_.end() ? "not on record" : state->second)});
    }
    if (!in_pool) {
      found.push_back(
          {4, AddressText(address) + " held by " + BoardName(serials[0]) + " is outside the pool"});
    }
  }
  for (const auto& [address, state] : record_) {
    if (state == "verified" && holders.count(address) == 0) {
      found.push_back({3, AddressText(address) + " is verified but no board holds it"});
    }
  }
  for (const auto& [address, window] : banner_windows_) {
    if (holders.count(address) == 0) {
      found.push_back({3, "window " + window + " showed a banner for " + AddressText(address) +
                              ", which no board holds"});
    }
  }
  for (const auto& [address, who] : read_back_) {
    const auto state = record_.find(address);
    if (state == record_.end() || state->second != "verified") {
      found.push_back({5, AddressText(address) + " read back (" + who + ") is " +
                              (state == record_.end() ? "not on record" : state->second)});
    }
  }
  found.insert(found.end(), findings_.begin(), findings_.end());
  return found;
}

}  // namespace pelorus::campaign
