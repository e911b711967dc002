#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "pool/station.h"
#include "pool_store.h"

namespace pelorus::testing {
namespace {

using ::testing::AllOf;
using ::testing::HasSubstr;
using ::testing::StartsWith;

struct Result {
  int status = -1;
  std::string out;
  std::string err;
};

std::string ReadFile(const std::string& path) {
  std::stringstream text;
  text << std::ifstream(path, std::ios::binary).rdbuf();
  return text.str();
}

// Runs pelorus-pool as a script would, through the shell: its exit status and what it printed
// where.
Result Tool(const std::vector<std::string>& args) {
  const std::string out = ::testing::TempDir() + "pool-stdout-" + std::to_string(getpid());
  std::string command = "'" PELORUS_POOL_PATH "'";
  for (const std::string& arg : args) {
    command += " '" + std::regex_replace(arg, std::regex("'"), "'\\''") + "'";
  }
  const int status = std::system((command + " >" + out + " 2>" + out + ".err").c_str());
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadFile(out), ReadFile(out + ".err")};
}

// A script's whole round on one station, and the record it leaves, as CSV a spreadsheet
// reads back field for field.
TEST(PoolCommandTest, StationScriptRoundAndCsvRecord) {
  PoolStore store("sqlite");
  const std::string& at = store.location();
  Result r = Tool({"create", at, "--first", "00:1A:2B:3C:00:00", "--last", "00-1a-2b-3c-00-63",
                   "--name", "LINE-A"});
  ASSERT_EQ(r.status, 0) << r.err;
  r = Tool({"lease", at, "--name", "LINE-A", "--station", "rack 2"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "00-1A-2B-3C-00-00\n");
  EXPECT_EQ(Tool({"written", at, "00-1A-2B-3C-00-00", "--station", "rack 2", "--port", "ttyUSB0",
                  "--name", "LINE-A"})
                .status,
            0);
  r = Tool({"verified", at, "00-1A-2B-3C-00-00", "--station", "rack 2", "--name", "LINE-A",
            "--readback", "1fd0000c: 00 1A 2B 3C 00 00 \"..,\""});
  ASSERT_EQ(r.status, 0) << r.err;

  r = Tool({"status", at, "--name", "LINE-A"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.out, HasSubstr("verified  1\n"));
  EXPECT_THAT(r.out, HasSubstr("warning: pool LINE-A has only 99 free addresses left\n"));

  const std::string csv = store.location() + ".csv";
  ASSERT_EQ(Tool({"export", at, "--name", "LINE-A", "--csv", csv}).status, 0);
  const std::string text = ReadFile(csv);
  EXPECT_THAT(text, StartsWith("address,state,station,port,leased_at,written_at,verified_at,"
                               "attempts,readback,released_at,released_by,release_reason\r\n"
                               "00-1A-2B-3C-00-00,verified,rack 2,ttyUSB0,"));
  EXPECT_THAT(text, ::testing::EndsWith(",1,\"1fd0000c: 00 1A 2B 3C 00 00 \"\"..,\"\"\",,,\r\n"));

  r = Tool({"check", at, "00-1A-2B-3C-00-00"});
  EXPECT_THAT(r.out, HasSubstr("state     verified\n"));
}

// Bad input: exit status 1 and one line on stderr that says what is wrong.
TEST(PoolCommandTest, BadInputIsOneLineAndStatusOne) {
  PoolStore store("sqlite");
  const std::string& at = store.location();
  ASSERT_EQ(
      Tool({"create", at, "--first", "00-1A-2B-3C-00-00", "--last", "00-1A-2B-3C-0F-FF"}).status,
      0);
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"check", at, "00-1A-2B-3C-00"}, "malformed address \"00-1A-2B-3C-00\""},
      {{"check", at, "00-1A:2B-3C-00-00"}, "malformed address"},
      {{"create", at, "--first", "00-1A-2B-3C-0F-00", "--last", "00-1A-2B-3C-1F-00", "--name", "B"},
       "overlaps pool default"},
      {{"status", at, "--name", "B"}, "no pool named B"},
      {{"status", at + ".missing"}, "no such file"},
      {{"lease", at}, "--station is required"},
      {{"release", at, "00-1A-2B-3C-00-00", "--reason", "gone"}, "--reason requires --unconfirmed"},
      {{"release", at, "00-1A-2B-3C-00-00", "--unconfirmed"}, "--unconfirmed needs a --reason"},
      {{"journal", at, "--name", "B", "--station", "s"}, "no pool named B"},
  };
  for (const auto& [args, reason] : cases) {
    const Result r = Tool(args);
    EXPECT_EQ(r.status, 1) << reason;
    EXPECT_THAT(r.err, StartsWith("pelorus-pool: ")) << reason;
    EXPECT_THAT(r.err, HasSubstr(reason));
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
    EXPECT_TRUE(r.out.empty()) << r.out;
  }
  const Result help = Tool({"written", "--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_THAT(help.out, HasSubstr("--station"));
}

// A written address whose device never confirmed it: listed, spent, given back only with a
// reason; a station's claim keeps a script out; the station's journal goes on record.
TEST(PoolCommandTest, UnconfirmedAddressesClaimsAndJournal) {
  PoolStore store("sqlite");
  const std::string& at = store.location();
  const std::string state = at + ".state";
  setenv("XDG_STATE_HOME", state.c_str(), 1);
  ASSERT_EQ(
      Tool({"create", at, "--first", "00-1A-2B-3C-00-00", "--last", "00-1A-2B-3C-0F-FF"}).status,
      0);
  const std::string a = "00-1A-2B-3C-00-00";
  const std::string b = "00-1A-2B-3C-00-01";
  struct Step {
    std::vector<std::string> args;
    int status;
    std::string out;  // a part of stdout
    std::string err;  // a part of stderr
  };
  const std::vector<Step> steps = {
      {{"upgrade", at}, 0, "schema is current (version 3)\n", ""},
      {{"lease", at, "--station", "s1"}, 0, a + "\n", ""},
      {{"written", at, a, "--station", "s1", "--port", "ttyS1"}, 0, "", ""},
      {{"unconfirmed", at}, 0, "address            station  port   written", ""},
      {{"unconfirmed", at, "--station", "s1"}, 0, "\n" + a + "  s1       ttyS1  20", ""},
      {{"lease", at, "--station", "s1"}, 0, b + "\n", ""},
      {{"status", at}, 0, "written   1 (never verified", ""},
      {{"release", at, a}, 1, "", a},
      {{"release", at, a, "--unconfirmed", "--reason", "board scrapped", "--by", "ann"},
       0,
       "released " + a + "\n",
       ""},
      {{"check", at, a}, 0, " by ann\nreason    board scrapped\n", ""},
      {{"status", at}, 0, "released  1 (", ""},
      {{"export", at}, 0, ",ann,board scrapped\r\n", ""},
      {{"written", at, b, "--station", "s1", "--port", "ttyS1"}, 0, "", ""},
      {{"journal", at, "--station", "s1"}, 0, "journal empty\n", ""},
  };
  for (const Step& step : steps) {
    const Result r = Tool(step.args);
    EXPECT_EQ(r.status, step.status) << step.args[0] << ": " << r.err;
    EXPECT_THAT(r.out, HasSubstr(step.out)) << step.args[0];
    EXPECT_THAT(r.err, HasSubstr(step.err)) << step.args[0];
  }

  std::string error;
  pool::Station::Config config;
  config.location = at;
  config.station = "s1";
  auto window = pool::Station::Open(config, &error);
  ASSERT_TRUE(window && window->Claim(&error)) << error;
  Result r = Tool({"lease", at, "--station", "s1"});
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.err, AllOf(HasSubstr("s1"), HasSubstr(std::to_string(getpid()))));
  window.reset();

  // What a station journaled while the store failed: the journal command puts it on record.
  const std::string journal = pool::StationJournal::PathFor(at, "default", "s1");
  EXPECT_THAT(journal, StartsWith(state + "/pelorus/"));
  ASSERT_TRUE(pool::StationJournal(journal).Append(
      {pool::JournalMark::Kind::kVerified, 0x001A2B3C0001ULL, "ok", "2026-12-06T09:41:07.250Z"},
      &error));
  r = Tool({"journal", at, "--station", "s1"});
  EXPECT_THAT(r.out, StartsWith("put on record: verified " + b + " (2026-12-06T09:41:07.250Z)\n"));
  EXPECT_THAT(Tool({"check", at, b}).out, HasSubstr("state     verified\n"));
  EXPECT_EQ(Tool({"journal", at, "--station", "s1"}).out, "journal empty\n");
}

}  // namespace
}  // namespace pelorus::testing
