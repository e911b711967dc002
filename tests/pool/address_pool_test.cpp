#include "pool/address_pool.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "pool_store.h"

namespace pelorus::pool {
namespace {

using testing::PoolStore;

constexpr Mac48 kFirst = 0x001A2B3C0000ULL;
constexpr Mac48 kLast = 0x001A2B3C0FFFULL;

// The same rules hold on both stores.
class AddressPoolTest : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override { ASSERT_FALSE(store_.location().empty()) << store_.error(); }

  std::unique_ptr<AddressPool> Open(bool create = false) {
    std::string error;
    auto pool = AddressPool::Open(store_.location(), create, &error);
    EXPECT_TRUE(pool) << error;
    return pool;
  }
  std::unique_ptr<AddressPool> Made(Mac48 first = kFirst, Mac48 last = kLast) {
    auto pool = Open(true);
    std::string error;
    EXPECT_TRUE(pool && pool->Create(AddressPool::kDefaultName, first, last, &error)) << error;
    return pool;
  }
  // The address the default pool gives the station; 0 when it refuses.
  static Mac48 Lease(AddressPool& pool, const std::string& station) {
    Mac48 a = 0;
    std::string error;
    EXPECT_TRUE(pool.Lease(AddressPool::kDefaultName, station, &a, &error)) << error;
    return a;
  }
  // The whole record of the default pool, one line per address.
  std::vector<std::string> Record(AddressPool& pool) {
    std::vector<std::string> lines;
    std::string error;
    EXPECT_TRUE(pool.Export(
        AddressPool::kDefaultName,
        [&](const AddressRecord& r) {
          lines.push_back(FormatMac48(r.address) + " " + StateName(r.state) + " " + r.station +
                          " " + r.port + " " + std::to_string(r.attempts) + " " + r.readback);
        },
        &error))
        << error;
    return lines;
  }

  PoolStore store_{GetParam()};
};

// One address through every step, and the station's next lease; what the record and the
// status say about it on the way.
TEST_P(AddressPoolTest, AddressGoesFromLeaseToVerifiedOnceAndOnRecord) {
  auto pool = Made();
  std::string error;
  const Mac48 a = Lease(*pool, "bench3/COM1");
  EXPECT_EQ(a, kFirst);
  // A restarted window finds its own open address again, leased or written.
  EXPECT_EQ(Lease(*pool, "bench3/COM1"), a);
  const Mac48 other = Lease(*pool, "bench3/COM2");
  EXPECT_EQ(other, kFirst + 1);
  ASSERT_TRUE(pool->MarkWritten(a, "bench3/COM1", "COM1", &error)) << error;
  ASSERT_TRUE(pool->MarkWritten(a, "bench3/COM1", "COM1", &error)) << error;  // a second board
  EXPECT_EQ(Lease(*pool, "bench3/COM1"), a);
  ASSERT_TRUE(pool->MarkVerified(a, "bench3/COM1", "1fd0000c: 00 1A 2B 3C 00 00, \"ok\"", &error))
      << error;
  EXPECT_EQ(Lease(*pool, "bench3/COM1"), kFirst + 2);

  AddressRecord record;
  ASSERT_TRUE(pool->Check(a, &record, &error)) << error;
  EXPECT_EQ(record.state, AddressState::kVerified);
  EXPECT_EQ(record.attempts, 2);
  EXPECT_EQ(record.pool, AddressPool::kDefaultName);
  EXPECT_EQ(record.verified_at.size(), 24u);  // 2026-12-06T09:41:07.250Z
  ASSERT_TRUE(pool->Check(kLast, &record, &error));
  EXPECT_EQ(record.state, AddressState::kFree);

  // Only an address that never went into a device may be given back; it is leased again
  // before any new one.
  EXPECT_FALSE(pool->Release(a, &error));
  EXPECT_THAT(error, ::testing::HasSubstr("verified"));
  ASSERT_TRUE(pool->Release(other, &error)) << error;
  EXPECT_EQ(Lease(*pool, "bench4/COM1"), other);

  EXPECT_THAT(
      Record(*pool),
      ::testing::ElementsAre(
          "00-1A-2B-3C-00-00 verified bench3/COM1 COM1 2 1fd0000c: 00 1A 2B 3C 00 00, \"ok\"",
          "00-1A-2B-3C-00-01 leased bench4/COM1  0 ", "00-1A-2B-3C-00-02 leased bench3/COM1  0 "));
  PoolStatus status;
  ASSERT_TRUE(pool->Status(AddressPool::kDefaultName, &status, &error));
  EXPECT_EQ(status.total, 4096u);
  EXPECT_EQ(status.issued, 3u);
  EXPECT_EQ(status.verified, 1u);
  EXPECT_EQ(status.leased, 2u);
  EXPECT_EQ(status.free, 4093u);
}

// Every refusal names the store, says why, and leaves the store as it was.
TEST_P(AddressPoolTest, RefusalsChangeNothing) {
  auto pool = Made(kFirst, kFirst + 2);
  ASSERT_EQ(Lease(*pool, "s1"), kFirst);
  std::string error;
  Mac48 a = 0;
  const std::vector<std::string> before = Record(*pool);

  const auto refused = [&](bool ok, const char* why) {
    EXPECT_FALSE(ok) << why;
    EXPECT_EQ(error.rfind(pool->Where() + ": ", 0), 0u) << error;
    EXPECT_THAT(error, ::testing::HasSubstr(why));
    EXPECT_EQ(error.find('\n'), std::string::npos);
    error.clear();
  };
  refused(pool->Create("B", kFirst + 2, kFirst + 9, &error), "overlaps pool default");
  refused(pool->Create(AddressPool::kDefaultName, kLast + 1, kLast + 9, &error), "exists already");
  refused(pool->Create("B", kLast + 9, kLast + 1, &error), "must not come after");
  refused(pool->Create("B", 0x010000000000ULL, 0x0100000000FFULL, &error), "group");
  refused(pool->Lease("nonesuch", "s1", &a, &error), "no pool named nonesuch");
  refused(pool->MarkWritten(kFirst, "s2", "COM1", &error), "belongs to station s1");
  refused(pool->MarkWritten(kFirst + 1, "s1", "COM1", &error), "not leased");
  refused(pool->MarkVerified(kFirst, "s1", "", &error), "never recorded as written");
  AddressRecord record;
  refused(pool->Check(kLast, &record, &error), "in no pool");
  refused(pool->Release(kFirst + 1, &error), "not leased");
  EXPECT_EQ(Record(*pool), before);

  // Used up: the last addresses go, then every lease is refused.
  ASSERT_TRUE(pool->MarkWritten(kFirst, "s1", "COM1", &error));
  ASSERT_TRUE(pool->MarkVerified(kFirst, "s1", "", &error));
  refused(pool->MarkVerified(kFirst, "s1", "", &error), "verified already");
  refused(pool->MarkWritten(kFirst, "s1", "COM1", &error), "never written again");
  EXPECT_EQ(Lease(*pool, "s2"), kFirst + 1);
  EXPECT_EQ(Lease(*pool, "s3"), kFirst + 2);
  refused(pool->Lease(AddressPool::kDefaultName, "s4", &a, &error), "is used up");
  PoolStatus status;
  ASSERT_TRUE(pool->Status(AddressPool::kDefaultName, &status, &error));
  EXPECT_EQ(status.free, 0u);
}

// Eight stations at once, each taking 250 addresses through every step: the first 2,000 of
// the range, each once, each on record with its station.
TEST_P(AddressPoolTest, EightStationsAtOnceNeverShareAnAddress) {
  constexpr int kStations = 8;
  constexpr int kEach = 250;
  Made().reset();
  std::vector<pid_t> children;
  for (int s = 0; s < kStations; ++s) {
    const pid_t child = fork();
    if (child == 0) {
      std::string error;
      auto pool = AddressPool::Open(store_.location(), false, &error);
      const std::string station = "station" + std::to_string(s);
      for (int i = 0; pool && i < kEach; ++i) {
        Mac48 a = 0;
        if (!pool->Lease(AddressPool::kDefaultName, station, &a, &error) ||
            !pool->MarkWritten(a, station, "COM1", &error) ||
            !pool->MarkVerified(a, station, FormatMac48(a, ' '), &error)) {
          std::fprintf(stderr, "%s: %s\n", station.c_str(), error.c_str());
          _exit(1);
        }
      }
      _exit(pool ? 0 : 1);
    }
    children.push_back(child);
  }
  for (const pid_t child : children) {
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }

  auto pool = Open();
  std::map<std::string, int> per_station;
  std::set<Mac48> seen;
  std::string error;
  ASSERT_TRUE(pool->Export(
      AddressPool::kDefaultName,
      [&](const AddressRecord& r) {
        EXPECT_TRUE(seen.insert(r.address).second);
        EXPECT_EQ(r.state, AddressState::kVerified);
        EXPECT_EQ(r.readback, FormatMac48(r.address, ' '));
        ++per_station[r.station];
      },
      &error));
  ASSERT_EQ(seen.size(), static_cast<std::size_t>(kStations * kEach));
  EXPECT_EQ(*seen.begin(), kFirst);
  EXPECT_EQ(*seen.rbegin(), kFirst + kStations * kEach - 1);
  for (int s = 0; s < kStations; ++s) {
    EXPECT_EQ(per_station["station" + std::to_string(s)], kEach);
  }
}

// A station killed between the written mark and the read-back: the address stays written,
// comes back to that station, and to no other.
TEST_P(AddressPoolTest, KilledStationGetsItsWrittenAddressBack) {
  Made().reset();
  const pid_t child = fork();
  if (child == 0) {
    std::string error;
    auto pool = AddressPool::Open(store_.location(), false, &error);
    Mac48 a = 0;
    if (pool && pool->Lease(AddressPool::kDefaultName, "bench1/COM1", &a, &error) &&
        pool->MarkWritten(a, "bench1/COM1", "COM1", &error)) {
      raise(SIGKILL);
    }
    _exit(1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);

  auto pool = Open();
  std::string error;
  AddressRecord record;
  ASSERT_TRUE(pool->Check(kFirst, &record, &error)) << error;
  EXPECT_EQ(record.state, AddressState::kWritten);
  EXPECT_EQ(Lease(*pool, "bench2/COM1"), kFirst + 1);
  EXPECT_EQ(Lease(*pool, "bench1/COM1"), kFirst);
}

INSTANTIATE_TEST_SUITE_P(Stores, AddressPoolTest, ::testing::Values("sqlite", "postgres"),
                         [](const auto& info) { return std::string(info.param); });

}  // namespace
}  // namespace pelorus::pool
