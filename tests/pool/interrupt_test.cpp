#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <libpq-fe.h>

#include <chrono>
#include <cstdlib>
#include <future>
#include <string>
#include <thread>
#include <utility>

#include "held_lock.h"
#include "pool/address_pool.h"
#include "pool_store.h"
#include "tcp_relay.h"

namespace pelorus::pool {
namespace {

using ::testing::EndsWith;
using testing::PoolStore;
using testing::TcpRelay;
using Clock = std::chrono::steady_clock;

constexpr Mac48 kFirst = 0x001A2B3C0000ULL;
constexpr const char* kPool = AddressPool::kDefaultName;
// Far longer than any step may take once interrupted.
constexpr std::chrono::seconds kLongWait{30};
constexpr std::chrono::seconds kPromptly{2};

// A lease run on a thread of its own, as a run engine's store thread would: ok, and why not.
std::future<std::pair<bool, std::string>> LeaseAsync(AddressPool& pool) {
  return std::async(std::launch::async, [&pool] {
    LeasedAddress address;
    std::string why;
    const bool ok = pool.Lease(kPool, "s1", &address, &why);
    return std::make_pair(ok, why);
  });
}

// Interrupts pool from this thread while a step waits on another, and expects the step to end
// promptly as an interruption, every later step to fail at once the same way, and steps to
// run again after Resume.
void InterruptAndExpectItEnds(AddressPool& pool, std::future<std::pair<bool, std::string>>* step) {
  const auto asked = Clock::now();
  pool.Interrupt();
  ASSERT_EQ(step->wait_for(kLongWait), std::future_status::ready);
  EXPECT_LT(Clock::now() - asked, kPromptly);
  const auto [ok, why] = step->get();
  EXPECT_FALSE(ok);
  EXPECT_THAT(why, EndsWith(": interrupted"));
  EXPECT_FALSE(pool.Refused());
  PoolStatus status;
  std::string error;
  EXPECT_FALSE(pool.Status(kPool, &status, &error));
  EXPECT_EQ(error, pool.Where() + ": interrupted");
  EXPECT_FALSE(pool.Claim(kPool, "s1", &error));
  EXPECT_EQ(error, pool.Where() + ": interrupted");
  pool.Resume();
}

// A step that waits for a SQLite file another connection holds locked ends at once when
// interrupted from another thread, however long its lock wait.
TEST(InterruptTest, SqliteStepWaitingForTheLockEnds) {
  PoolStore store("sqlite");
  std::string error;
  auto pool = AddressPool::Open(store.location(), true, &error);
  ASSERT_TRUE(pool && pool->Create(kPool, kFirst, kFirst + 9, &error)) << error;
  pool->SetLockWait(kLongWait);
  testing::HeldLock other("sqlite", store.location());
  ASSERT_TRUE(other.held());

  auto lease = LeaseAsync(*pool);
  ASSERT_EQ(lease.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout)
      << "the lease did not wait for the lock";
  InterruptAndExpectItEnds(*pool, &lease);

  other.Release();
  LeasedAddress address;
  EXPECT_TRUE(pool->Lease(kPool, "s1", &address, &error)) << error;
  EXPECT_EQ(address.address, kFirst);
}

// Runs sql on its own connection to the test's server, the first row's first column.
std::string Value(PGconn* connection, const std::string& sql) {
  PGresult* result = PQexec(connection, sql.c_str());
  const std::string value = PQntuples(result) > 0 ? PQgetvalue(result, 0, 0) : "";
  PQclear(result);
  return value;
}

// A PostgreSQL step that waits for a row another session holds is cancelled on the server
// when interrupted: it ends at once, the server no longer waits for it, and the session goes
// on with the next step after Resume.
TEST(InterruptTest, PostgresStepWaitingForARowIsCancelled) {
  PoolStore store("postgres");
  ASSERT_FALSE(store.location().empty()) << store.error();
  std::string error;
  auto pool =
      AddressPool::Open(store.location() + " application_name=pelorus-interrupted", true, &error);
  ASSERT_TRUE(pool && pool->Create(kPool, kFirst, kFirst + 9, &error)) << error;
  pool->SetLockWait(kLongWait);
  PGconn* holder = PQconnectdb(store.location().c_str());
  PQclear(PQexec(holder, "BEGIN"));
  PQclear(PQexec(holder, "SELECT * FROM pelorus_pools FOR UPDATE"));
  const std::string waiting =
      "SELECT count(*) FROM pg_stat_activity WHERE application_name = 'pelorus-interrupted'"
      " AND wait_event_type = 'Lock'";

  auto lease = LeaseAsync(*pool);
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (Value(holder, waiting) != "1" && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));  // the server has no event for it
  }
  ASSERT_EQ(Value(holder, waiting), "1");
  InterruptAndExpectItEnds(*pool, &lease);
  EXPECT_EQ(Value(holder, waiting), "0");

  PQclear(PQexec(holder, "ROLLBACK"));
  PQfinish(holder);
  LeasedAddress address;
  EXPECT_TRUE(pool->Lease(kPool, "s1", &address, &error)) << error;
  EXPECT_EQ(address.address, kFirst);
}

// Connecting again to a server that accepts the connection and then says nothing ends at once
// when interrupted, however long the location's connect time-out.
TEST(InterruptTest, PostgresConnectToASilentServerEnds) {
  PoolStore store("postgres");
  ASSERT_FALSE(store.location().empty()) << store.error();
  const char* host = std::getenv("PGHOST");
  const char* port = std::getenv("PGPORT");
  TcpRelay relay(host != nullptr ? host : "localhost", port != nullptr ? std::atoi(port) : 5432);
  std::string error;
  auto pool = AddressPool::Open("host=127.0.0.1 port=" + std::to_string(relay.port()) +
                                    " connect_timeout=" + std::to_string(kLongWait.count()) +
                                    " application_name=pelorus-relayed " + store.location(),
                                true, &error);
  ASSERT_TRUE(pool && pool->Create(kPool, kFirst, kFirst + 9, &error)) << error;

  relay.Blackhole();
  PGconn* server = PQconnectdb(store.location().c_str());
  EXPECT_EQ(Value(server,
                  "SELECT pg_terminate_backend(pid, 10000) FROM pg_stat_activity"
                  " WHERE application_name = 'pelorus-relayed'"),
            "t");
  PQfinish(server);
  auto lease = LeaseAsync(*pool);
  ASSERT_TRUE(relay.WaitForLinks(2, std::chrono::seconds(10))) << "the lease did not connect again";
  InterruptAndExpectItEnds(*pool, &lease);
}

}  // namespace
}  // namespace pelorus::pool
