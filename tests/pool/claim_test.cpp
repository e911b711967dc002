#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "pool/address_pool.h"
#include "pool/sqlite_pool.h"
#include "pool_store.h"

namespace pelorus::pool {
namespace {

using ::testing::HasSubstr;
using ::testing::MatchesRegex;
using testing::PoolStore;

constexpr Mac48 kFirst = 0x001A2B3C0000ULL;
constexpr const char* kPool = AddressPool::kDefaultName;

std::string ThisProcess() {
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  return std::string("host ") + host + ", process " + std::to_string(getpid());
}

// A claim on a SQLite pool outlives its lock file: with the file removed (as a person might,
// taking it for a stale one), a second claimer is still refused, told which host and process
// hold the station, and never where a file is that might be removed.
TEST(SqliteClaimTest, RemovingTheLockFileLetsNoSecondHolderIn) {
  PoolStore store("sqlite");
  std::string error;
  auto holder = AddressPool::Open(store.location(), true, &error);
  ASSERT_TRUE(holder && holder->Create(kPool, kFirst, kFirst + 9, &error)) << error;
  auto other = AddressPool::Open(store.location(), false, &error);
  ASSERT_TRUE(other) << error;
  ASSERT_TRUE(holder->Claim(kPool, "bench3/COM1", &error)) << error;

  EXPECT_FALSE(other->Claim(kPool, "bench3/COM1", &error));
  EXPECT_TRUE(other->Refused());
  EXPECT_THAT(error, MatchesRegex(".*station bench3/COM1 of pool default is claimed by " +
                                  ThisProcess() + " since 20[0-9-]+T[0-9:]+Z"));
  EXPECT_EQ(error.find(".lock"), std::string::npos) << error;

  const std::string folder = store.location() + ".stations";
  for (int round = 0; round < 2; ++round) {
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
      std::filesystem::remove(entry.path());
    }
    EXPECT_FALSE(other->Claim(kPool, "bench3/COM1", &error)) << round;
    EXPECT_TRUE(other->Refused());
    EXPECT_THAT(error,
                HasSubstr("station bench3/COM1 of pool default is claimed by " + ThisProcess()));
    EXPECT_EQ(error.find(".lock"), std::string::npos) << error;
    EXPECT_EQ(error.find(".stations"), std::string::npos) << error;
  }
  // The holder's steps go on; once it gives the claim up, the other takes it.
  Mac48 address = 0;
  ASSERT_TRUE(holder->Lease(kPool, "bench3/COM1", &address, &error)) << error;
  holder->Unclaim();
  EXPECT_TRUE(other->Claim(kPool, "bench3/COM1", &error)) << error;
  EXPECT_FALSE(holder->Claim(kPool, "bench3/COM1", &error));
}

// A SQLite file on a network file system is refused when opened, with why and what to use
// instead; one on a local disk (or one whose file system cannot be told) opens.
TEST(SqliteClaimTest, NetworkFileSystemsAreRefused) {
  PoolStore store("sqlite");
  const std::pair<std::int64_t, std::string> network[] = {
      {0x6969, "NFS"}, {0x517B, "SMB"}, {0xFF534D42, "CIFS"}, {0xFE534D42, "SMB2"}};
  for (const bool create : {true, false}) {
    for (const auto& [type, name] : network) {
      std::string asked;
      std::string error;
      const auto file_system = [&, type = type](const std::string& path) {
        asked = path;
        return std::optional<std::int64_t>(type);
      };
      EXPECT_FALSE(SqlitePool::Connect(store.location(), create, &error, file_system)) << name;
      EXPECT_THAT(error, HasSubstr(store.location() + ": on a network file system (" + name +
                                   "): SQLite's locks and the stations' claims hold on a local "
                                   "disk only"));
      EXPECT_THAT(error, HasSubstr("PostgreSQL"));
      EXPECT_EQ(asked, create ? store.location().substr(0, store.location().rfind('/'))
                              : store.location());
    }
    std::string error;
    EXPECT_TRUE(SqlitePool::Connect(store.location(), create, &error, [](const std::string&) {
      return std::nullopt;
    })) << error;
    EXPECT_TRUE(SqlitePool::Connect(store.location(), create, &error,
                                    [](const std::string&) { return 0xEF53; }))  // ext4
        << error;
  }
}

}  // namespace
}  // namespace pelorus::pool
