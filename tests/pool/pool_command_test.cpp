#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "pool_store.h"

namespace pelorus::testing {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

struct Result {
  int status = -1;
  std::string out;
  std::string err;
};

// Runs pelorus-pool as a script would, through the shell: its exit status and what it printed
// where.
Result Tool(const std::vector<std::string>& args) {
  const std::string err = ::testing::TempDir() + "pool-stderr-" + std::to_string(getpid());
  std::string command = "exec '" PELORUS_POOL_PATH "'";
  for (const std::string& arg : args) {
    command += " '";
    for (const char c : arg) {
      command += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    command += "'";
  }
  FILE* out = popen((command + " 2>" + err).c_str(), "r");
  Result result;
  char buffer[4096];
  for (std::size_t n; out != nullptr && (n = fread(buffer, 1, sizeof buffer, out)) > 0;) {
    result.out.append(buffer, n);
  }
  const int status = out != nullptr ? pclose(out) : -1;
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  std::stringstream text;
  text << std::ifstream(err).rdbuf();
  result.err = text.str();
  return result;
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
  EXPECT_EQ(
      Tool({"written", at, "00-1A-2B-3C-00-00", "--station", "rack 2", "--port", "ttyUSB0"}).status,
      0);
  r = Tool({"verified", at, "00-1A-2B-3C-00-00", "--station", "rack 2", "--readback",
            "1fd0000c: 00 1A 2B 3C 00 00 \"..,\""});
  ASSERT_EQ(r.status, 0) << r.err;

  r = Tool({"status", at, "--name", "LINE-A"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.out, HasSubstr("verified  1\n"));
  EXPECT_THAT(r.out, HasSubstr("warning: pool LINE-A has only 99 free addresses left\n"));

  const std::string csv = store.location() + ".csv";
  ASSERT_EQ(Tool({"export", at, "--name", "LINE-A", "--csv", csv}).status, 0);
  std::stringstream file;
  file << std::ifstream(csv, std::ios::binary).rdbuf();
  const std::string text = file.str();
  EXPECT_THAT(text, StartsWith("address,state,station,port,leased_at,written_at,verified_at,"
                               "attempts,readback\r\n00-1A-2B-3C-00-00,verified,rack 2,ttyUSB0,"));
  EXPECT_THAT(text, ::testing::EndsWith(",1,\"1fd0000c: 00 1A 2B 3C 00 00 \"\"..,\"\"\"\r\n"));

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
      {{"create", at, "--first", "00-1A-2B-3C-10-00", "--last", "00-1A-2B-3C-0F-00"},
       "must not come after"},
      {{"create", at, "--first", "00-1A-2B-3C-0F-00", "--last", "00-1A-2B-3C-1F-00", "--name", "B"},
       "overlaps pool default"},
      {{"status", at, "--name", "B"}, "no pool named B"},
      {{"status", at + ".missing"}, "no such file"},
      {{"lease", at}, "--station is required"},
      {{"release", at, "00-1A-2B-3C-00-00"}, "not leased"},
      {{"status", "postgresql://127.0.0.1:9/none"}, "cannot reach the server"},
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

}  // namespace
}  // namespace pelorus::testing
