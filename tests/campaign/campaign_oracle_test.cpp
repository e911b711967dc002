// The oracle on files as a campaign leaves them: ledgers, the pool's exported record, and the
// lines the operators and scripts gave it.
#include "campaign_oracle.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <set>

namespace pelorus::campaign {
namespace {

constexpr std::uint64_t kFirst = 0x02CA00000000ULL;
constexpr std::uint64_t kLast = 0x02CA0000FFFFULL;

class Folder {
 public:
  Folder() {
    char name[] = "/tmp/pelorus-oracle-XXXXXX";
    path_ = mkdtemp(name) != nullptr ? name : "";
  }
  ~Folder() { std::filesystem::remove_all(path_); }
  std::string Write(const std::string& name, const std::string& text) const {
    std::ofstream(path_ + "/" + name) << text;
    return path_ + "/" + name;
  }

 private:
  std::string path_;
};

std::multiset<int> Rules(const std::vector<CampaignOracle::Violation>& found) {
  std::multiset<int> rules;
  for (const auto& v : found) {
    rules.insert(v.rule);
  }
  return rules;
}

// What a window and a script announced as read back must be verified on record once the
// journals are in: a banner of a mark the journal lost, a read-back the pool would not take,
// a board reported done at the next start and a scripted `verified` that exited 0 each count;
// and scripted boards holding one address are two boards holding it.
TEST(CampaignOracleTest, ReadBacksAndScriptedBoardsAreJudgedAgainstTheRecord) {
  Folder folder;
  const std::string record =
      folder.Write("record.csv",
                   "address,state,station\n"
                   "02:CA:00:00:00:01,verified,a\n"    // bannered, verified: fine
                   "02:CA:00:00:00:02,written,a\n"     // bannered, its journaled mark lost
                   "02:CA:00:00:00:03,written,a\n"     // the pool would not take its verified mark
                   "02:CA:00:00:00:04,written,a\n"     // done at the next start, never verified
                   "02:CA:00:00:00:05,written,rack\n"  // two scripted boards, one verified
                   "02:CA:00:00:00:06,verified,rack\n");
  const std::string ledger =
      folder.Write("ledger.jsonl",
                   "{\"serial\":1,\"address\":\"02:CA:00:00:00:01\",\"confirmed\":true}\n"
                   "{\"serial\":2,\"address\":\"02:CA:00:00:00:02\",\"confirmed\":true}\n"
                   "{\"serial\":3,\"address\":\"02:CA:00:00:00:03\",\"confirmed\":true}\n"
                   "{\"serial\":4,\"address\":\"02:CA:00:00:00:04\",\"confirmed\":true}\n");
  CampaignOracle oracle(kFirst, kLast);
  std::string error;
  ASSERT_TRUE(oracle.ReadRecord(record, &error)) << error;
  ASSERT_TRUE(oracle.ReadLedger(ledger, &error)) << error;
  oracle.AddWindowLine("BANNER  MAC Write Success  (02:CA:00:00:00:01)", "1");
  oracle.AddWindowLine("BANNER  MAC Write Success  (02:CA:00:00:00:02)", "1");
  oracle.AddWindowLine(
      "MESSAGE The device shows 02:CA:00:00:00:03, but pool default could not record it as "
      "verified. The run has stopped. | locked",
      "2");
  oracle.AddWindowLine(
      "MESSAGE The board with 02-CA-00-00-00-04 (verified at 2026-12-07T10:00:00Z) was written "
      "and verified, but PELORUS ended before its banner was closed. |",
      "3");
  // Not a read-back: a refusal naming an address is no claim that a board showed it.
  oracle.AddWindowLine(
      "MESSAGE 02-CA-00-00-00-06 could not be put on record in pool default, so it was not "
      "written into the device. |",
      "3");
  oracle.AddScriptedBoard(1, 0x02CA00000005ULL, false);
  oracle.AddScriptedBoard(2, 0x02CA00000005ULL, false);
  oracle.AddScriptedBoard(2, 0x02CA00000005ULL, true);
  oracle.AddScriptedBoard(3, 0x02CA00000006ULL, true);
  oracle.AddFinding(6, "window 1 took 6.1 s to end after END");

  const auto found = oracle.Check();
  EXPECT_EQ(Rules(found), (std::multiset<int>{1, 5, 5, 5, 5, 6}));
  for (const auto& v : found) {
    if (v.rule == 1) {
      EXPECT_EQ(v.example, "02:CA:00:00:00:05 held by scripted board 1, scripted board 2");
    }
  }
  EXPECT_EQ(oracle.Boards(), 7);
  EXPECT_EQ(oracle.ScriptedBoards(), 3);
  EXPECT_EQ(oracle.Banners(), 2);
}

}  // namespace
}  // namespace pelorus::campaign
