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
  const std::string& Path() const { return path_; }
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

std::string RackEvent(const std::string& port, const std::string& address,
                      const std::string& outcome, int id) {
  return "{\"time\":\"2026-12-07T10:00:00.000Z\",\"station\":\"rack/" + port + "\",\"port\":\"" +
         port + "\",\"device\":\"/tmp/console-" + port + "\",\"address\":\"" + address +
         "\",\"outcome\":\"" + outcome +
         "\",\"code_at\":\"\",\"written_at\":\"\",\"readback_sent_at\":\"\","
         "\"matched_at\":\"\",\"ended_at\":\"\",\"id\":" +
         std::to_string(id) + "}\n";
}

// A rack port's "verified" event is a read-back whether its mark is on record (an attempt id)
// or was in the port's journal (id 0): either must be verified once the journals are in. Other
// outcomes claim no read-back, and a line the station would not write is refused.
TEST(CampaignOracleTest, TheRacksVerifiedEventsAreReadBacks) {
  Folder folder;
  const std::string record =
      folder.Write("record.csv",
                   "address,state,station\n"
                   "02:CA:00:00:00:01,verified,rack/R1\n"
                   "02:CA:00:00:00:02,written,rack/R2\n"  // its journaled mark lost
                   "02:CA:00:00:00:04,written,rack/R1\n"
                   "02:CA:00:00:00:05,verified,rack/R3\n");
  const std::string ledger =
      folder.Write("ledger.jsonl",
                   "{\"serial\":1,\"address\":\"02:CA:00:00:00:01\",\"confirmed\":true}\n"
                   "{\"serial\":2,\"address\":\"02:CA:00:00:00:02\",\"confirmed\":true}\n"
                   "{\"serial\":4,\"address\":\"02:CA:00:00:00:04\",\"confirmed\":false}\n"
                   "{\"serial\":5,\"address\":\"02:CA:00:00:00:05\",\"confirmed\":true}\n");
  const std::string events =
      folder.Write("rack-events.jsonl",
                   RackEvent("R1", "02-CA-00-00-00-01", "verified", 7) +
                       RackEvent("R2", "02-CA-00-00-00-02", "verified", 0) +
                       RackEvent("R3", "02-CA-00-00-00-03", "verified", 9) +  // on record nowhere
                       RackEvent("R1", "02-CA-00-00-00-04", "wrong read-back", 10) +
                       RackEvent("R2", "", "no read-back", 0) +
                       RackEvent("R3", "02-CA-00-00-00-05", "verified", 0));
  CampaignOracle oracle(kFirst, kLast);
  std::string error;
  ASSERT_TRUE(oracle.ReadRecord(record, &error)) << error;
  ASSERT_TRUE(oracle.ReadLedger(ledger, &error)) << error;
  ASSERT_TRUE(oracle.ReadRackEvents(events, &error)) << error;

  const auto found = oracle.Check();
  EXPECT_EQ(Rules(found), (std::multiset<int>{5, 5}));
  std::set<std::string> examples;
  for (const auto& v : found) {
    examples.insert(v.example);
  }
  EXPECT_EQ(examples, (std::set<std::string>{
                          "02:CA:00:00:00:02 read back (rack port R2, its journal) is written",
                          "02:CA:00:00:00:03 read back (rack port R3, attempt 9) is not on record",
                      }));
  EXPECT_EQ(oracle.RackVerified(), 4);
  EXPECT_EQ(oracle.RackJournaled(), 2);

  CampaignOracle torn(kFirst, kLast);
  const std::string cut = RackEvent("R1", "02-CA-00-00-00-01", "verified", 7);
  EXPECT_FALSE(torn.ReadRackEvents(folder.Write("torn.jsonl", cut.substr(0, 60) + "\n"), &error));
  EXPECT_NE(error.find("not an event line"), std::string::npos) << error;
  EXPECT_FALSE(
      torn.ReadRackEvents(folder.Write("blank.jsonl", RackEvent("R1", "", "verified", 7)), &error));
  EXPECT_FALSE(torn.ReadRackEvents(folder.Path() + "/none.jsonl", &error));
}

}  // namespace
}  // namespace pelorus::campaign
