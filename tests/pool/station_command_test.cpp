// pelorus-pool's station steps as scripts take them: leases and their tokens, the pool an
// address names, and the release of an unconfirmed address under its station's claim.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

#include "pool/station.h"
#include "pool_store.h"
#include "pool_tool.h"

namespace pelorus::testing {
namespace {

using ::testing::AllOf;
using ::testing::HasSubstr;
using ::testing::MatchesRegex;

constexpr const char* kA = "00-1A-2B-3C-00-00";
constexpr const char* kB = "00-1A-2B-3C-00-01";

// The token of a lease that `lease --json` printed for address.
std::string TokenOf(const Result& lease, const std::string& address) {
  std::smatch match;
  const std::string json = lease.out;
  const std::regex form("\\{\"address\":\"" + address + "\",\"token\":\"([0-9a-f]{32})\"\\}\n");
  EXPECT_TRUE(std::regex_match(json, match, form)) << json << lease.err;
  return match.size() == 2 ? match[1].str() : "";
}

// Two scripts of one station get the station's one leased address: only the lease that is
// current writes it, the other is refused with a reason; without tokens the first written
// mark wins and the second is refused. The winner may replay its mark.
TEST(StationCommandTest, OneLeaseOfAStationWritesItsAddress) {
  PoolStore store("sqlite");
  const std::string& at = store.location();
  ASSERT_EQ(Tool({"create", at, "--first", kA, "--last", "00-1A-2B-3C-00-63"}).status, 0);
  const Result plain = Tool({"lease", at, "--station", "rack2"});
  EXPECT_EQ(plain.out, std::string(kA) + "\n");
  const std::string first = TokenOf(Tool({"lease", at, "--station", "rack2", "--json"}), kA);
  const std::string second = TokenOf(Tool({"lease", at, "--station", "rack2", "--json"}), kA);
  EXPECT_NE(first, second);

  const auto written = [&](const std::string& address, const std::string& token) {
    std::vector<std::string> args = {"written", at,       address,  "--station",
                                     "rack2",   "--port", "ttyUSB0"};
    if (!token.empty()) {
      args.insert(args.end(), {"--token", token});
    }
    return Tool(args);
  };
  Result r = written(kA, first);
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.err, HasSubstr("leased again since: another lease of this station holds it"));
  EXPECT_EQ(written(kA, second).status, 0);
  EXPECT_EQ(written(kA, second).status, 0) << "a replay of the same mark";
  r = written(kA, first);
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.err, HasSubstr("written under another lease"));
  r = Tool({"verified", at, kA, "--station", "rack2", "--readback", "ok", "--token", first});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(Tool({"verified", at, kA, "--station", "rack2", "--readback", "ok", "--token", second})
                .status,
            0);

  // Scripts of an older kind, without tokens.
  TokenOf(Tool({"lease", at, "--station", "rack2", "--json"}), kB);
  const std::string current = TokenOf(Tool({"lease", at, "--station", "rack2", "--json"}), kB);
  EXPECT_EQ(written(kB, "").status, 0);
  r = written(kB, "");
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.err, MatchesRegex("pelorus-pool: .*" + std::string(kB) +
                                  " was already written at 20[-0-9T:.]+Z through ttyUSB0; pass "
                                  "its --token to replay the mark\n"));
  EXPECT_EQ(written(kB, current).status, 0);
}

// written and verified find the pool the address lies in, report the store's only pool;
// a name that does not hold the address, or a choice the store leaves open, is an error that
// lists the pools.
TEST(StationCommandTest, NameIsNeededOnlyWhereNothingElseNamesThePool) {
  PoolStore store("sqlite");
  const std::string& at = store.location();
  ASSERT_EQ(
      Tool({"create", at, "--first", kA, "--last", "00-1A-2B-3C-00-63", "--name", "LINE-A"}).status,
      0);
  ASSERT_EQ(Tool({"lease", at, "--name", "LINE-A", "--station", "s1"}).out, std::string(kA) + "\n");
  Result r = Tool({"written", at, kA, "--station", "s1", "--port", "p"});
  EXPECT_EQ(r.status, 0) << r.err;
  r = Tool({"verified", at, kA, "--station", "s1", "--readback", "ok", "--name", "LINE-B"});
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.err, HasSubstr(std::string(kA) + " lies in pool LINE-A, not in pool LINE-B"));
  r = Tool({"verified", at, kA, "--station", "s1", "--readback", "ok"});
  EXPECT_EQ(r.status, 0) << r.err;
  r = Tool({"report", at, "--json"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.out, HasSubstr("\"pool\": \"LINE-A\""));

  const std::string other = "00-1A-2B-3C-01-00";
  ASSERT_EQ(
      Tool({"create", at, "--first", other, "--last", "00-1A-2B-3C-01-63", "--name", "LINE-B"})
          .status,
      0);
  ASSERT_EQ(Tool({"lease", at, "--name", "LINE-B", "--station", "s1"}).out, other + "\n");
  r = Tool({"written", at, other, "--station", "s1", "--port", "p"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(Tool({"check", at, other}).out, HasSubstr("state     written\n"));
  r = Tool({"written", at, other, "--station", "s1", "--port", "p", "--name", "LINE-A"});
  EXPECT_THAT(r.err, HasSubstr(other + " lies in pool LINE-B, not in pool LINE-A"));
  r = Tool({"written", at, "00-1A-2B-3C-02-00", "--station", "s1", "--port", "p"});
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.err, HasSubstr("00-1A-2B-3C-02-00 lies in no pool of this store (its pools: "
                               "LINE-A, LINE-B)"));
  r = Tool({"report", at, "--json"});
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.err, HasSubstr("holds the pools LINE-A, LINE-B: name one with --name"));
  r = Tool({"report", at, "--json", "--name", "LINE-B"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.out, HasSubstr("\"pool\": \"LINE-B\""));
}

class StationCommandStoreTest : public ::testing::TestWithParam<const char*> {};

// Giving back an unconfirmed address takes the claim of the station that wrote it and puts
// that station's journal on record first: refused, naming the holder, while another holds the
// station; refused once its journaled verified mark is on record.
TEST_P(StationCommandStoreTest, ReleaseOfAnUnconfirmedAddressWaitsForItsStation) {
  PoolStore store(GetParam());
  ASSERT_FALSE(store.location().empty()) << store.error();
  const std::string& at = store.location();
  char state[] = "/tmp/pelorus-state-XXXXXX";
  ASSERT_NE(mkdtemp(state), nullptr);
  setenv("XDG_STATE_HOME", state, 1);
  ASSERT_EQ(Tool({"create", at, "--first", kA, "--last", "00-1A-2B-3C-00-63"}).status, 0);
  ASSERT_EQ(Tool({"lease", at, "--station", "s1"}).out, std::string(kA) + "\n");
  ASSERT_EQ(Tool({"written", at, kA, "--station", "s1", "--port", "p"}).status, 0);
  const std::vector<std::string> release = {"release",       at,         kA,
                                            "--unconfirmed", "--reason", "board blank"};

  std::string error;
  pool::Station::Config config;
  config.location = at;
  config.station = "s1";
  auto window = pool::Station::Open(config, &error);
  ASSERT_TRUE(window && window->Claim(&error) == pool::Outcome::kDone) << error;
  Result r = Tool(release);
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.err, AllOf(HasSubstr("station s1 of pool default is claimed by"),
                           HasSubstr("process " + std::to_string(getpid()))));
  window->Unclaim();
  window.reset();

  const std::string journal = pool::StationJournal::PathFor(at, "default", "s1");
  ASSERT_TRUE(pool::StationJournal(journal).Append(
      {pool::JournalMark::Kind::kVerified, 0x001A2B3C0000ULL, "ok", "2026-12-06T09:41:07.250Z", ""},
      &error));
  r = Tool(release);
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.err, AllOf(HasSubstr("put on record: verified " + std::string(kA)),
                           HasSubstr(std::string(kA) + " is verified")));
  EXPECT_THAT(Tool({"check", at, kA}).out, HasSubstr("state     verified\n"));
  EXPECT_EQ(Tool({"journal", at, "--station", "s1"}).out, "journal empty\n");
  unsetenv("XDG_STATE_HOME");
  std::filesystem::remove_all(state);
}

INSTANTIATE_TEST_SUITE_P(Stores, StationCommandStoreTest, ::testing::Values("sqlite", "postgres"),
                         [](const auto& info) { return std::string(info.param); });

}  // namespace
}  // namespace pelorus::testing
