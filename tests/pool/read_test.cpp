#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "held_lock.h"
#include "pool/address_pool.h"
#include "pool/transcript.h"
#include "pool_store.h"
#include "pool_tool.h"

namespace pelorus::testing {
namespace {

using pool::AddressPool;
using pool::Attempt;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

constexpr Mac48 kFirst = 0x001A2B3C0000ULL;

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    lines.push_back(line);
  }
  return lines;
}

// What only reads the record waits for no station: with another connection holding the
// SQLite file's write lock, history, a transcript and the attempts answer, in the process and
// from pelorus-pool; and an export of the attempts takes only the station asked for.
TEST(RecordReadTest, ReadsWaitForNoWriterAndTheAttemptsExportTakesItsStation) {
  PoolStore store("sqlite");
  const std::string& at = store.location();
  std::string error;
  auto pool = AddressPool::Open(at, true, &error);
  ASSERT_TRUE(pool && pool->Create(AddressPool::kDefaultName, kFirst, kFirst + 99, &error))
      << error;
  pool::Transcript transcript;
  transcript.Add(pool::Transcript::Direction::kFromDevice, 1796536800000000, "U-Boot\r\n", 8);
  std::vector<std::int64_t> ids;
  for (const char* station : {"A", "B", "A", "B"}) {
    Attempt attempt;
    attempt.station = station;
    attempt.port = "ttyUSB0";
    attempt.address = kFirst + ids.size();
    attempt.ended_at = "2026-12-06T09:00:0" + std::to_string(ids.size()) + ".000Z";
    std::int64_t id = 0;
    ASSERT_TRUE(
        pool->RecordAttempt(AddressPool::kDefaultName, attempt, transcript.Encode(), &id, &error))
        << error;
    ids.push_back(id);
  }

  HeldLock writer("sqlite", at);
  ASSERT_TRUE(writer.held());

  std::vector<Attempt> history;
  EXPECT_TRUE(pool->History(kFirst, &history, &error)) << error;
  EXPECT_EQ(history.size(), 1u);
  std::string kept;
  EXPECT_TRUE(pool->TranscriptOf(ids[0], &kept, &error)) << error;
  EXPECT_EQ(kept, transcript.Encode());
  std::vector<std::string> stations;
  EXPECT_TRUE(pool->ExportAttempts(
      AddressPool::kDefaultName, {"", "", "A"},
      [&](const Attempt& a) { stations.push_back(a.station + " " + std::to_string(a.id)); },
      &error))
      << error;
  EXPECT_THAT(stations, ElementsAre("A " + std::to_string(ids[0]), "A " + std::to_string(ids[2])));

  Result r = Tool({"history", at, "00-1A-2B-3C-00-01"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.out, HasSubstr("\n" + std::to_string(ids[1]) + "   B "));
  r = Tool({"transcript", at, std::to_string(ids[0])});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.out, HasSubstr("U-Boot"));
  r = Tool({"export", at, "--attempts", "--station", "B"});
  EXPECT_EQ(r.status, 0) << r.err;
  const std::vector<std::string> lines = Lines(r.out);
  ASSERT_EQ(lines.size(), 3u) << r.out;
  EXPECT_THAT(lines[1], ::testing::StartsWith(std::to_string(ids[1]) + ",B,"));
  EXPECT_THAT(lines[2], ::testing::StartsWith(std::to_string(ids[3]) + ",B,"));
  r = Tool({"export", at, "--attempts", "--station", "B", "--since", "2026-12-06T09:00:02"});
  EXPECT_EQ(Lines(r.out).size(), 2u) << r.out;

  writer.Release();
}

}  // namespace
}  // namespace pelorus::testing
