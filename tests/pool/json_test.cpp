#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "pool/address_pool.h"
#include "pool_store.h"
#include "pool_tool.h"

namespace pelorus::testing {
namespace {

using pool::AddressPool;
using ::testing::HasSubstr;

constexpr Mac48 kFirst = 0x001A2B3C0000ULL;

// Whether text is one JSON document that a strict parser takes: UTF-8 throughout, no raw
// control character in a string.
bool StrictJson(const std::string& text, std::string* why) {
  const std::string path = ::testing::TempDir() + "pool-json-" + std::to_string(getpid());
  std::ofstream(path, std::ios::binary) << text;
  const std::string check =
      "python3 -c 'import json,sys; json.loads(open(sys.argv[1], "
      "\"rb\").read().decode(\"utf-8\"))' "
      "'" +
      path + "' 2>" + path + ".err";
  const bool ok = std::system(check.c_str()) == 0;
  *why = ReadFile(path + ".err");
  return ok;
}

// A pool or station name is text: not valid UTF-8, a control character, more than 200 bytes
// or nothing at all are refused with the reason, by the store (a window's station) and by the
// command line.
TEST(PoolNameTest, NamesThatAreNotTextAreRefusedWithTheReason) {
  PoolStore store("sqlite");
  const std::string& at = store.location();
  std::string error;
  auto pool = AddressPool::Open(at, true, &error);
  ASSERT_TRUE(pool && pool->Create(AddressPool::kDefaultName, kFirst, kFirst + 99, &error))
      << error;
  const std::vector<std::pair<std::string, std::string>> bad = {
      {"line\xFF", "not valid UTF-8"},
      {"line\xC3", "not valid UTF-8"},
      {"line\xC0\xAF", "not valid UTF-8"},
      {"line\tA", "control character"},
      {"line\x1B[31m", "control character"},
      {"line\xC2\x85", "control character"},
      {std::string(201, 'a'), "longer than 200 bytes"},
  };
  for (const auto& [name, reason] : bad) {
    EXPECT_FALSE(pool->Create(name, kFirst + 200, kFirst + 299, &error)) << reason;
    EXPECT_TRUE(pool->Refused());
    EXPECT_THAT(error, HasSubstr(reason));
    pool::LeasedAddress address;
    EXPECT_FALSE(pool->Lease(AddressPool::kDefaultName, name, &address, &error)) << reason;
    EXPECT_THAT(error, HasSubstr(reason));
    EXPECT_FALSE(pool->Claim(AddressPool::kDefaultName, name, &error)) << reason;
    EXPECT_TRUE(pool->Refused());
    EXPECT_THAT(error, HasSubstr(reason));
    pool::Attempt attempt;
    attempt.station = name;
    attempt.ended_at = "2026-12-06T09:00:00.000Z";
    std::int64_t id = 0;
    EXPECT_FALSE(pool->RecordAttempt(AddressPool::kDefaultName, attempt, "", &id, &error));
    EXPECT_THAT(error, HasSubstr(reason));

    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{"create", at, "--first", "00-1A-2B-3C-10-00",
                                                "--last", "00-1A-2B-3C-10-FF", "--name", name},
                                               {"lease", at, "--station", name},
                                               {"export", at, "--station", name},
                                               {"status", at, "--name", name}}) {
      const Result r = Tool(args);
      EXPECT_EQ(r.status, 1) << args[0] << ": " << reason;
      EXPECT_THAT(r.err, HasSubstr(reason)) << args[0];
      EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
    }
  }
  EXPECT_EQ(Tool({"status", at, "--name", std::string(200, 'a')}).err,
            "pelorus-pool: " + at + ": no pool named " + std::string(200, 'a') + "\n");
}

// Every JSON writer of pelorus-pool escapes what it prints: names with quotes, backslashes and
// letters of any script, and a record from before names were checked (a station's name that
// is not UTF-8, with a control character), give JSON that a strict parser takes.
TEST(PoolNameTest, JsonOfOddNamesIsJson) {
  PoolStore store("sqlite");
  const std::string& at = store.location();
  const std::string line = "Line \"A\" \\ caf\xC3\xA9 \xE2\x98\x83";
  const std::string station = "rack \"2\" \\ \xE6\x9D\xB1/COM1";
  std::string error;
  auto pool = AddressPool::Open(at, true, &error);
  ASSERT_TRUE(pool && pool->Create(line, kFirst, kFirst + 99, &error)) << error;
  pool::LeasedAddress address;
  ASSERT_TRUE(pool->Lease(line, station, &address, &error)) << error;
  ASSERT_TRUE(pool->MarkWritten(address, station, "tty\"S\"0", &error)) << error;
  ASSERT_TRUE(pool->MarkVerified(address, station, "\"ok\" \\ \x01\xFF", &error)) << error;
  pool::Attempt attempt;
  attempt.station = station;
  attempt.address = address.address;
  attempt.code_at = "2026-12-06T09:00:00.000Z";
  attempt.ended_at = "2026-12-06T09:00:09.000Z";
  std::int64_t id = 0;
  ASSERT_TRUE(pool->RecordAttempt(line, attempt, "", &id, &error)) << error;
  // A station named before names were checked.
  ASSERT_TRUE(store.Sql("UPDATE pelorus_attempts SET station = 'old\x01\xFF'"));
  ASSERT_TRUE(store.Sql("UPDATE pelorus_addresses SET station = 'old\x01\xFF'"));

  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"status", at, "--name", line, "--json"},
                                             {"check", at, "00-1A-2B-3C-00-00", "--json"},
                                             {"report", at, "--name", line, "--json"}}) {
    const Result r = Tool(args);
    ASSERT_EQ(r.status, 0) << args[0] << ": " << r.err;
    std::string why;
    EXPECT_TRUE(StrictJson(r.out, &why)) << args[0] << ": " << why << r.out;
  }
  const Result status = Tool({"status", at, "--name", line, "--json"});
  EXPECT_THAT(status.out, HasSubstr("\"pool\":\"Line \\\"A\\\" \\\\ caf\xC3\xA9 \xE2\x98\x83\""));
}

}  // namespace
}  // namespace pelorus::testing
