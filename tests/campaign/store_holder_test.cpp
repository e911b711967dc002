// The campaign's hand on the store, as the campaign runs it: the real program on a real pool
// (a SQLite file, a database on the PostgreSQL server the test command provides), commands on
// its standard input, and another connection that finds the store held or not.
#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <poll.h>
#include <signal.h>
#include <sqlite3.h>

#include <string>

#include "child_process.h"
#include "tests/pool/pool_store.h"

namespace pelorus::campaign {
namespace {

class StoreHolderTest : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    ASSERT_FALSE(store_.location().empty()) << store_.error();
    ASSERT_TRUE(Tool({"create", store_.location(), "--first", "02-CA-00-00-00-00", "--last",
                      "02-CA-00-00-00-FF"}));
    std::string error;
    ASSERT_TRUE(holder_.Start(
        {{PELORUS_CAMPAIGN_PATH, "--hold-store", store_.location()}, {}, "", "", true}, &error))
        << error;
  }
  void TearDown() override { holder_.Stop(SIGTERM, 5000); }

  bool Postgres() const { return std::string(GetParam()) == "postgres"; }

  static bool Tool(const std::vector<std::string>& args) {
    ChildProcess tool;
    std::vector<std::string> argv = {PELORUS_POOL_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    std::string error;
    if (!tool.Start({argv, {}, "/dev/null", "", false}, &error)) {
      return false;
    }
    pollfd fd{tool.ExitFd(), POLLIN, 0};
    return ::poll(&fd, 1, 30000) > 0 && tool.Reap() == 0;
  }

  // The holder's answer to one command.
  std::string Command(const std::string& command) {
    holder_.Send(command);
    pollfd fd{holder_.OutputFd(), POLLIN, 0};
    for (;;) {
      if (::poll(&fd, 1, 30000) <= 0) {
        return "no answer";
      }
      const auto lines = holder_.ReadLines();
      if (!lines.empty()) {
        return lines[0];
      }
    }
  }

  // Whether another connection gets sql through at once (waiting 200 ms for a lock at most).
  bool Through(const std::string& sql) const {
    if (Postgres()) {
      PGconn* c = PQconnectdb(store_.location().c_str());
      bool ok = PQstatus(c) == CONNECTION_OK;
      for (const std::string& step : {std::string("SET lock_timeout = 200"), std::string("BEGIN"),
                                      sql, std::string("ROLLBACK")}) {
        PGresult* r = ok ? PQexec(c, step.c_str()) : nullptr;
        ok = ok && (PQresultStatus(r) == PGRES_COMMAND_OK || PQresultStatus(r) == PGRES_TUPLES_OK);
        PQclear(r);
      }
      PQfinish(c);
      return ok;
    }
    sqlite3* db = nullptr;
    sqlite3_open(store_.location().c_str(), &db);
    sqlite3_busy_timeout(db, 200);
    const bool ok = sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    return ok;
  }

  testing::PoolStore store_{GetParam()};
  ChildProcess holder_;
};

// Held, every step that writes waits; released, it goes through; the end of the holder's
// input lets go too.
TEST_P(StoreHolderTest, HoldsTheLeasesStepsUntilReleased) {
  const std::string lease = "SELECT 1 FROM pelorus_pools FOR UPDATE";
  ASSERT_TRUE(Through(lease));
  EXPECT_EQ(Command("hold"), "held");
  EXPECT_FALSE(Through(lease));
  EXPECT_EQ(Command("release"), "released");
  EXPECT_TRUE(Through(lease));
  EXPECT_EQ(Command("hold"), "held");
  holder_.CloseInput();
  EXPECT_EQ(holder_.Stop(0, 10000), 0);
  EXPECT_TRUE(Through(lease));
}

INSTANTIATE_TEST_SUITE_P(Stores, StoreHolderTest, ::testing::Values("sqlite", "postgres"));

class PostgresHolderTest : public StoreHolderTest {};

// PostgreSQL: one station's rows are held without the pool's; a cut takes the database out of
// reach and ends its sessions, and its release lets connections in again; a kill ends every
// session but the holder's.
TEST_P(PostgresHolderTest, HoldsAStationsRowsCutsAndKills) {
  ASSERT_TRUE(Tool({"lease", store_.location(), "--station", "rack-2"}));
  const std::string marks = "SELECT 1 FROM pelorus_addresses WHERE station = 'rack-2' FOR UPDATE";
  EXPECT_EQ(Command("hold-station rack-2"), "held");
  EXPECT_FALSE(Through(marks));
  EXPECT_TRUE(Through("SELECT 1 FROM pelorus_pools FOR UPDATE"));
  EXPECT_EQ(Command("release"), "released");
  EXPECT_TRUE(Through(marks));

  PGconn* before = PQconnectdb(store_.location().c_str());
  ASSERT_EQ(PQstatus(before), CONNECTION_OK);
  EXPECT_EQ(Command("cut"), "held");
  EXPECT_FALSE(Through("SELECT 1"));
  PQclear(PQexec(before, "SELECT 1"));
  EXPECT_NE(PQstatus(before), CONNECTION_OK);
  EXPECT_EQ(Command("release"), "released");
  EXPECT_TRUE(Through("SELECT 1"));

  PQreset(before);
  ASSERT_EQ(PQstatus(before), CONNECTION_OK);
  EXPECT_EQ(Command("kill"), "killed");
  PQclear(PQexec(before, "SELECT 1"));
  EXPECT_NE(PQstatus(before), CONNECTION_OK);
  EXPECT_EQ(Command("hold"), "held");
  EXPECT_EQ(Command("release"), "released");
  PQfinish(before);
}

INSTANTIATE_TEST_SUITE_P(Postgres, PostgresHolderTest, ::testing::Values("postgres"));

}  // namespace
}  // namespace pelorus::campaign
