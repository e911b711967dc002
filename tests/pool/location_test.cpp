#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <vector>

#include "pool/address_pool.h"
#include "pool/station_journal.h"
#include "pool_store.h"
#include "pool_tool.h"

namespace pelorus::testing {
namespace {

using pool::AddressPool;
using ::testing::HasSubstr;

// Secrets made of pieces that nothing else prints, joined by what URIs, libpq's strings and
// shells treat specially.
const std::string kPassword = "Kq7#Zv9?Wm3%Jx5@Tb2 Hn4";
const std::string kSslPassword = "Rf8#Ld6?Pc1%Yg4@Nu0 Es5";
const char* const kPieces[] = {"Kq7", "Zv9", "Wm3", "Jx5", "Tb2", "Hn4",
                               "Rf8", "Ld6", "Pc1", "Yg4", "Nu0", "Es5"};

std::string PercentEncoded(const std::string& text) {
  std::string encoded;
  for (const char c : text) {
    if (std::isalnum(static_cast<unsigned char>(c)) != 0) {
      encoded += c;
    } else {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", static_cast<unsigned char>(c));
      encoded += hex;
    }
  }
  return encoded;
}

// Whether text shows any piece of a secret.
std::string Leaked(const std::string& text) {
  for (const char* piece : kPieces) {
    if (text.find(piece) != std::string::npos) {
      return piece;
    }
  }
  return "";
}

// A password or an SSL key's password, in a URI or in key=value form, holding #, ?, %, @ or
// a space, is never shown: not by status (text or JSON), the report, a store that refuses the
// password or a location libpq cannot read, nor in the name of a station's journal.
TEST(PoolLocationTest, SecretsNeverShow) {
  PoolStore store("postgres");
  ASSERT_FALSE(store.location().empty()) << store.error();
  const std::string database = store.location().substr(std::string("dbname=").size());
  const std::string role = "pelorus_secret_" + std::to_string(getpid());
  ASSERT_TRUE(store.Sql("CREATE ROLE " + role + " LOGIN SUPERUSER PASSWORD '" + kPassword + "'"))
      << store.error();
  Result r = Tool(
      {"create", store.location(), "--first", "00-1A-2B-3C-00-00", "--last", "00-1A-2B-3C-00-FF"});
  ASSERT_EQ(r.status, 0) << r.err;
  const char* host_env = getenv("PGHOST");
  const std::string host = host_env != nullptr ? host_env : "localhost";
  const std::string port = getenv("PGPORT") != nullptr ? getenv("PGPORT") : "5432";
  const std::string at = host + ":" + port + "/" + database;
  const std::string password = PercentEncoded(kPassword);
  const std::string ssl_password = PercentEncoded(kSslPassword);
  const std::string quoted = "'" + kPassword + "'";
  const std::string ssl_quoted = "'" + kSslPassword + "'";
  const std::string key_value = "host=" + host + " port=" + port + " dbname=" + database;

  const std::vector<std::string> reachable = {
      "postgresql://" + role + ":" + password + "@" + at + "?sslpassword=" + ssl_password,
      "postgres://" + at + "?user=" + role + "&password=" + password,
      key_value + " user=" + role + " password=" + quoted + " sslpassword=" + ssl_quoted,
      "password = " + quoted + " user=" + role + " sslpassword=" + ssl_quoted + " " + key_value,
  };
  const std::vector<std::string> refused = {
      "postgresql://postgres:" + password + "@" + at,
      key_value + " user=postgres password=" + quoted,
      "postgresql://" + role + ":Kq7#Zv9?Wm3@" + at,
      "postgresql://" + role + ":Kq7%Zv9@" + at,
      "postgresql://" + role + "@" + at + "?sslpassword=Rf8%Ld6",
      key_value + " password='Kq7 Zv9 sslpassword=Rf8",
  };
  const std::string state = store.location() + ".state";
  for (const std::string& location : reachable) {
    EXPECT_EQ(Leaked(AddressPool::Shown(location)), "") << AddressPool::Shown(location);
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{"status", location},
                                               {"status", location, "--json"},
                                               {"report", location, "--json"}}) {
      r = Tool(args);
      EXPECT_EQ(r.status, 0) << location << ": " << r.err;
      EXPECT_THAT(r.out, HasSubstr(database)) << args[0];
      EXPECT_EQ(Leaked(r.out + r.err), "") << r.out << r.err;
    }
    const std::string journal = pool::StationJournal::PathFor(location, "default", "s1");
    EXPECT_EQ(Leaked(journal), "") << journal;
    EXPECT_THAT(journal, HasSubstr(database));
  }
  for (const std::string& location : refused) {
    r = Tool({"status", location});
    EXPECT_EQ(r.status, 1) << location;
    EXPECT_EQ(Leaked(r.out + r.err), "") << r.err;
    std::string error;
    EXPECT_FALSE(AddressPool::Open(location, false, &error));
    EXPECT_EQ(Leaked(error), "") << error;
    EXPECT_EQ(Leaked(AddressPool::Shown(location)), "") << AddressPool::Shown(location);
    EXPECT_EQ(Leaked(pool::StationJournal::PathFor(location, "default", "s1")), "");
  }
  // Two ways to name one store, with or without a password, keep one journal.
  EXPECT_EQ(pool::StationJournal::PathFor(reachable[0], "default", "s1"),
            pool::StationJournal::PathFor(reachable[2], "default", "s1"));
  EXPECT_EQ(pool::StationJournal::PathFor(reachable[0], "default", "s1"),
            pool::StationJournal::PathFor("postgresql://" + role + "@" + at, "default", "s1"));
  EXPECT_NE(
      pool::StationJournal::PathFor(reachable[0], "default", "s1"),
      pool::StationJournal::PathFor("postgresql://" + role + "@" + at + "x", "default", "s1"));
  store.Sql("DROP ROLE " + role);
}

}  // namespace
}  // namespace pelorus::testing
