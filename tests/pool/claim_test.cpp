#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>

#include "pool/address_pool.h"
#include "pool/sqlite_pool.h"
#include "pool_store.h"
#include "tcp_relay.h"

namespace pelorus::pool {
namespace {

using ::testing::HasSubstr;
using ::testing::MatchesRegex;
using testing::PoolStore;
using testing::TcpRelay;
using testing::ThisProcess;

constexpr Mac48 kFirst = 0x001A2B3C0000ULL;
constexpr const char* kPool = AddressPool::kDefaultName;

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
  LeasedAddress address;
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

// The keepalive timer of this host's TCP socket from local_port to remote_port, in seconds
// until its next probe, as the kernel shows it in /proc/net/tcp; nullopt while another timer
// runs (data not yet acknowledged) or none.
std::optional<double> ShownKeepalive(int local_port, int remote_port) {
  std::ifstream table("/proc/net/tcp");
  std::string line;
  std::getline(table, line);
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state, queues, timer;
    fields >> slot >> local >> remote >> state >> queues >> timer;
    const auto port = [](const std::string& address) {
      return std::stoi(address.substr(address.find(':') + 1), nullptr, 16);
    };
    if (port(local) == local_port && port(remote) == remote_port) {
      if (std::stoi(timer.substr(0, 2), nullptr, 16) != 2) {  // 2: the keepalive timer
        return std::nullopt;
      }
      return static_cast<double>(std::stol(timer.substr(3), nullptr, 16)) /
             static_cast<double>(sysconf(_SC_CLK_TCK));
    }
  }
  return std::nullopt;
}

// The same, once the socket's last data is acknowledged (the kernel has no event for it).
std::optional<double> KeepaliveSeconds(int local_port, int remote_port) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  std::optional<double> seconds;
  while (!(seconds = ShownKeepalive(local_port, remote_port)) &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return seconds;
}

// A claim whose network was cut: the server keeps the old session, and with it the claim,
// until its keepalive probes run out, which the claim's session bounds (idle 10 s, then 3
// probes 5 s apart; the client probes too). Meanwhile the object that claimed is not refused
// by its own earlier session: its steps fail (not refused) as waiting for it, another object
// is refused; once the server has ended the old session, the claim is taken again.
TEST(PostgresClaimTest, AClaimCutOffWaitsForItsOwnEarlierSession) {
  PoolStore store("postgres");
  ASSERT_FALSE(store.location().empty()) << store.error();
  const char* host = std::getenv("PGHOST");
  const char* port = std::getenv("PGPORT");
  const int server_port = port != nullptr ? std::atoi(port) : 5432;
  TcpRelay relay(host != nullptr ? host : "localhost", server_port);
  std::string error;
  auto pool = AddressPool::Open(
      "host=127.0.0.1 port=" + std::to_string(relay.port()) + " " + store.location(), true, &error);
  ASSERT_TRUE(pool && pool->Create(kPool, kFirst, kFirst + 9, &error)) << error;
  ASSERT_TRUE(pool->Claim(kPool, "s1", &error)) << error;

  const TcpRelay::Link link = relay.Last();
  const auto server_probes = KeepaliveSeconds(server_port, link.server_side_port);
  ASSERT_TRUE(server_probes) << "no keepalive on the server's side of the claim's session";
  EXPECT_LE(*server_probes, 10.0);
  const auto client_probes = KeepaliveSeconds(link.client_port, relay.port());
  ASSERT_TRUE(client_probes) << "no keepalive on the client's side of the claim's session";
  EXPECT_LE(*client_probes, 10.0);

  relay.Cut();
  const std::string waiting =
      "station s1 of pool default is held by an earlier session of this "
      "host since ";
  LeasedAddress address;
  EXPECT_FALSE(pool->Lease(kPool, "s1", &address, &error));
  EXPECT_FALSE(pool->Refused());
  EXPECT_THAT(error, MatchesRegex(".*: " + waiting + "20[0-9-]+T[0-9:]+Z, waiting"));
  EXPECT_FALSE(pool->Claim(kPool, "s1", &error));
  EXPECT_FALSE(pool->Refused());
  EXPECT_THAT(error, HasSubstr(waiting));
  auto other = AddressPool::Open(store.location(), false, &error);
  ASSERT_TRUE(other) << error;
  EXPECT_FALSE(other->Claim(kPool, "s1", &error));
  EXPECT_TRUE(other->Refused());
  EXPECT_THAT(error, HasSubstr("is claimed by " + ThisProcess()));

  // The server ends the session cut off, as its keepalive would.
  PGconn* server = PQconnectdb(store.location().c_str());
  PGresult* ended = PQexec(server,
                           "SELECT pg_terminate_backend(pid, 10000) FROM pg_locks"
                           " WHERE locktype = 'advisory' AND granted AND database ="
                           " (SELECT oid FROM pg_database WHERE datname = current_database())");
  EXPECT_EQ(PQntuples(ended) == 1 ? std::string(PQgetvalue(ended, 0, 0)) : "", "t");
  PQclear(ended);
  PQfinish(server);
  EXPECT_TRUE(pool->Lease(kPool, "s1", &address, &error)) << error;
  EXPECT_EQ(address.address, kFirst);
  EXPECT_FALSE(other->Claim(kPool, "s1", &error));
  EXPECT_TRUE(other->Refused());
}

}  // namespace
}  // namespace pelorus::pool
