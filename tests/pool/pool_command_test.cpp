#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "pool_store.h"

extern char** environ;

namespace pelorus::testing {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

struct Result {
  int status = -1;
  std::string out;
  std::string err;
};

std::string ReadAll(int fd) {
  std::string text;
  char buffer[4096];
  ssize_t n = 0;
  while ((n = read(fd, buffer, sizeof buffer)) > 0) {
    text.append(buffer, static_cast<std::size_t>(n));
  }
  close(fd);
  return text;
}

// Runs pelorus-pool as a script would: its exit status and what it printed where.
Result Tool(std::vector<std::string> args) {
  args.insert(args.begin(), PELORUS_POOL_PATH);
  std::vector<char*> argv;
  for (std::string& arg : args) {
    argv.push_back(arg.data());
  }
  argv.push_back(nullptr);
  int out[2];
  int err[2];
  Result result;
  if (pipe(out) != 0 || pipe(err) != 0) {
    return result;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  pid_t child = 0;
  const bool spawned = posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), environ) == 0;
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  close(err[1]);
  result.out = ReadAll(out[0]);
  result.err = ReadAll(err[0]);
  int status = 0;
  if (spawned && waitpid(child, &status, 0) == child && WIFEXITED(status)) {
    result.status = WEXITSTATUS(status);
  }
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
