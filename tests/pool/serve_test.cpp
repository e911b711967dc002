// pelorus-pool serve as a browser's scripts and a scraper see it, on both stores.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <httplib.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "pool/address_pool.h"
#include "pool/transcript.h"
#include "tests/pool/event_reader.h"
#include "tests/pool/pool_store.h"
#include "tests/pool/serve_process.h"

namespace pelorus::pool {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

class ServeTest : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    ASSERT_FALSE(store_.location().empty()) << store_.error();
    std::string error;
    pool_ = AddressPool::Open(store_.location(), true, &error);
    ASSERT_TRUE(pool_) << error;
    ASSERT_TRUE(pool_->Create("line", 0x020000000000, 0x0200000000FF, &error)) << error;
  }

  // A verified board of station: leased, written, verified, and its attempt on record with a
  // console that says what.
  std::int64_t Board(const std::string& station, const std::string& console, bool verified) {
    std::string error;
    LeasedAddress leased;
    EXPECT_TRUE(pool_->Lease("line", station, &leased, &error)) << error;
    EXPECT_TRUE(pool_->MarkWritten(leased, station, "ttyUSB0", &error)) << error;
    if (verified) {
      EXPECT_TRUE(pool_->MarkVerified(leased, station, "MAC ok", &error)) << error;
    }
    Attempt attempt;
    attempt.station = station;
    attempt.port = "ttyUSB0";
    attempt.address = leased.address;
    attempt.outcome = verified ? AttemptOutcome::kVerified : AttemptOutcome::kWrongReadBack;
    attempt.code_at = attempt.ended_at = UtcNowText();
    Transcript transcript;
    transcript.Add(Transcript::Direction::kFromDevice, 1765000000000000, console.data(),
                   console.size());
    std::int64_t id = 0;
    EXPECT_TRUE(pool_->RecordAttempt("line", attempt, transcript.Encode(), &id, &error)) << error;
    return id;
  }

  testing::PoolStore store_{GetParam()};
  std::unique_ptr<AddressPool> pool_;
};

// Every station that shows anywhere in the record has a tile with its figures; the JSON,
// transcript and metrics say what the record says, escaped where it is markup; the page and
// everything it loads carry a strict policy; the password never shows.
TEST_P(ServeTest, ShowsEveryStationAndTheRecordAndNothingMore) {
  std::string error;
  const std::int64_t good = Board("rack<1>", "<script>alert(1)</script>\r\n", true);
  const std::int64_t bad = Board("rack<1>", "MAC 02:00:00:00:00:09\r\n", false);
  LeasedAddress scripted;
  ASSERT_TRUE(pool_->Lease("line", "script-st", &scripted, &error)) << error;
  StationState state;
  state.station = "window-3";
  state.activity = StationActivity::kFailed;
  state.detail = "wrong read-back";
  state.since = UtcNowText();
  ASSERT_TRUE(pool_->PublishState("line", state, &error)) << error;
  state.station = "gone";
  state.activity = StationActivity::kWaitingForBoard;
  ASSERT_TRUE(pool_->PublishState("line", state, &error)) << error;
  ASSERT_TRUE(
      store_.Sql("UPDATE pelorus_station_states SET heartbeat_at ="
                 " '2026-01-02T03:04:05.000Z' WHERE station = 'gone'"))
      << store_.error();
  // A station whose boards are long past: its counters come from the record's settled part.
  Board("old", "MAC ok\r\n", true);
  Board("old", "MAC ok\r\n", false);
  ASSERT_TRUE(store_.Sql("UPDATE pelorus_addresses SET verified_at = '2026-01-02T03:04:05.000Z'"
                         " WHERE station = 'old' AND verified_at > ''") &&
              store_.Sql("UPDATE pelorus_attempts SET ended_at = '2026-01-02T03:04:05.000Z'"
                         " WHERE station = 'old'"))
      << store_.error();

  const char* password = std::getenv("PGPASSWORD");
  const std::string secret =
      GetParam() == "postgres" && password != nullptr && *password != '\0' ? password : "";
  const std::string location =
      secret.empty() ? store_.location() : store_.location() + " password=" + secret;
  testing::ServeProcess serve(location);
  ASSERT_GT(serve.port(), 0) << serve.first_line() << serve.err();
  httplib::Client client("127.0.0.1", serve.port());

  const auto page = client.Get("/");
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 200);
  const std::string policy = page->get_header_value("Content-Security-Policy");
  EXPECT_THAT(policy, HasSubstr("default-src 'none'"));
  EXPECT_THAT(policy, HasSubstr("script-src 'self'"));
  EXPECT_THAT(page->body, Not(HasSubstr("http")));
  for (const char* file : {"/page.js", "/page.css"}) {
    const auto res = client.Get(file);
    ASSERT_TRUE(res) << file;
    EXPECT_EQ(res->status, 200) << file;
    EXPECT_THAT(res->body, Not(HasSubstr("http"))) << file;
  }
  EXPECT_THAT(client.Get("/page.js")->body, Not(HasSubstr("innerHTML")));

  const auto stations = client.Get("/api/stations");
  ASSERT_TRUE(stations);
  EXPECT_EQ(stations->status, 200);
  EXPECT_THAT(stations->body,
              HasSubstr("\"station\": \"gone\", \"activity\": \"waiting for a board\""));
  EXPECT_THAT(stations->body,
              HasSubstr("\"offline\": true, \"offline_since\": \"2026-01-02T03:04:05.000Z\""));
  EXPECT_THAT(stations->body, HasSubstr("\"station\": \"rack<1>\", \"activity\": null"));
  EXPECT_THAT(stations->body, HasSubstr("\"last_outcome\": \"wrong read-back\""));
  EXPECT_THAT(stations->body,
              HasSubstr("\"boards_this_hour\": 1, \"attempts_today\": 2, \"yield_today\": 0.500"));
  EXPECT_THAT(stations->body, HasSubstr("\"station\": \"script-st\""));
  EXPECT_THAT(stations->body, HasSubstr("\"in_hand\": \"02-00-00-00-00-02\""));
  EXPECT_THAT(
      stations->body,
      HasSubstr(
          "\"station\": \"window-3\", \"activity\": \"failed\", \"detail\": \"wrong read-back\""));

  const auto figures = client.Get("/api/pool");
  ASSERT_TRUE(figures);
  EXPECT_THAT(figures->body, HasSubstr("\"issued\": 5, \"free\": 251, \"verified\": 2"));
  EXPECT_THAT(figures->body, HasSubstr("\"per_day\": 0.143, \"days_left\": 1757.000}"));

  const auto all = client.Get("/api/attempts");
  ASSERT_TRUE(all);
  EXPECT_LT(all->body.find("\"id\": " + std::to_string(bad)),
            all->body.find("\"id\": " + std::to_string(good)));
  const auto newer = client.Get(("/api/attempts?after=" + std::to_string(good)).c_str());
  ASSERT_TRUE(newer);
  EXPECT_THAT(newer->body, HasSubstr("\"id\": " + std::to_string(bad)));
  EXPECT_THAT(newer->body, Not(HasSubstr("\"id\": " + std::to_string(good) + ",")));
  EXPECT_EQ(client.Get("/api/attempts?after=1%20OR%201")->status, 400);

  const auto transcript = client.Get(("/transcript/" + std::to_string(good)).c_str());
  ASSERT_TRUE(transcript);
  EXPECT_EQ(transcript->status, 200);
  EXPECT_THAT(transcript->body, HasSubstr("&lt;script&gt;alert(1)&lt;/script&gt;"));
  EXPECT_THAT(transcript->body, Not(HasSubstr("<script>")));
  EXPECT_EQ(client.Get("/transcript/999999")->status, 404);

  const auto report = client.Get("/report?since=2026-01-01");
  ASSERT_TRUE(report);
  EXPECT_EQ(report->status, 200);
  EXPECT_THAT(report->body, HasSubstr("rack&lt;1&gt;"));
  EXPECT_THAT(report->get_header_value("Content-Security-Policy"), Not(HasSubstr("script-src")));
  EXPECT_EQ(client.Get("/report?since=yesterday")->status, 400);

  const auto metrics = client.Get("/metrics");
  ASSERT_TRUE(metrics);
  EXPECT_THAT(metrics->body,
              HasSubstr("pelorus_verified_marks_total{pool=\"line\",station=\"rack<1>\"} 1\n"));
  EXPECT_THAT(metrics->body,
              HasSubstr("pelorus_failed_attempts_total{pool=\"line\",station=\"rack<1>\"} 1\n"));
  EXPECT_THAT(metrics->body,
              HasSubstr("pelorus_verified_marks_total{pool=\"line\",station=\"old\"} 1\n"));
  EXPECT_THAT(metrics->body,
              HasSubstr("pelorus_failed_attempts_total{pool=\"line\",station=\"old\"} 1\n"));
  EXPECT_THAT(metrics->body, HasSubstr("pelorus_free_addresses{pool=\"line\"} 251\n"));
  EXPECT_THAT(metrics->body, HasSubstr("pelorus_station_up{pool=\"line\",station=\"gone\"} 0\n"));
  EXPECT_THAT(
      metrics->body,
      HasSubstr("pelorus_station_state{pool=\"line\",station=\"window-3\",state=\"failed\"} 1\n"));
  // The next scrape counts what came since, beside what it kept.
  Board("rack<1>", "no answer\r\n", false);
  Board("old", "MAC ok\r\n", true);
  const auto again = client.Get("/metrics");
  ASSERT_TRUE(again);
  EXPECT_THAT(again->body,
              HasSubstr("pelorus_failed_attempts_total{pool=\"line\",station=\"rack<1>\"} 2\n"));
  EXPECT_THAT(again->body,
              HasSubstr("pelorus_verified_marks_total{pool=\"line\",station=\"old\"} 2\n"));
  EXPECT_THAT(again->body,
              HasSubstr("pelorus_failed_attempts_total{pool=\"line\",station=\"old\"} 1\n"));

  if (!secret.empty()) {
    for (const auto& body :
         {page->body, stations->body, figures->body, report->body, serve.first_line()}) {
      EXPECT_THAT(body, Not(HasSubstr(secret)));
    }
    EXPECT_THAT(serve.first_line(), HasSubstr("password=****"));
  }
  EXPECT_EQ(serve.Stop(), 0);
  EXPECT_EQ(serve.err(), "");
}

// Listening beyond the loopback is said on stderr; a malformed --listen is refused.
TEST_P(ServeTest, SaysWhenThePageIsOpenToTheNetwork) {
  testing::ServeProcess open(store_.location(), {"--listen", "0.0.0.0:0"});
  ASSERT_GT(open.port(), 0) << open.err();
  open.Stop();
  EXPECT_THAT(open.err(), HasSubstr("the page has no login"));
  testing::ServeProcess refused(store_.location(), {"--listen", "nowhere"});
  EXPECT_EQ(refused.port(), 0);
  EXPECT_NE(refused.Stop(), 0);
  EXPECT_THAT(refused.err(), HasSubstr("malformed --listen"));
}

// Each mark, attempt and change of state reaches a reader as it happens, in order, and nothing
// that came before the reader; a store that stops answering is told, with since when, and so is
// its return, without the server being started again.
TEST_P(ServeTest, TellsEachChangeAsItHappensAndTheStoreGoingAndComing) {
  std::string error;
  Board("before", "old\r\n", true);
  testing::ServeProcess serve(store_.location());
  ASSERT_GT(serve.port(), 0) << serve.err();
  testing::EventReader reader(serve.port());
  std::size_t at = reader.WaitFor("event: store\ndata: {\"ok\": true}\n\n");
  ASSERT_NE(at, std::string::npos) << reader.text();

  const std::int64_t id = Board("rack-2", "MAC ok\r\n", true);
  at = reader.WaitFor(
      "event: mark\ndata: {\"station\": \"rack-2\", \"mark\": \"written\", \"address\": "
      "\"02-00-00-00-00-01\"",
      at);
  ASSERT_NE(at, std::string::npos) << reader.text();
  at = reader.WaitFor("\"mark\": \"verified\", \"address\": \"02-00-00-00-00-01\"", at);
  ASSERT_NE(at, std::string::npos) << reader.text();
  at = reader.WaitFor("event: attempt\ndata: {\"id\": " + std::to_string(id) + ",", at);
  ASSERT_NE(at, std::string::npos) << reader.text();

  StationState state;
  state.station = "rack-2";
  state.activity = StationActivity::kWaitingForBoard;
  state.since = UtcNowText();
  ASSERT_TRUE(pool_->PublishState("line", state, &error)) << error;
  at = reader.WaitFor(
      "event: state\ndata: {\"station\": \"rack-2\", \"activity\": \"waiting for a board\"", at);
  ASSERT_NE(at, std::string::npos) << reader.text();
  EXPECT_THAT(reader.text(), Not(HasSubstr("before")));

  // The store goes away. PostgreSQL: the server refuses new connections and cuts the ones it
  // has. SQLite: the file moved away (a copy being put back, a slip of the hand), which must not
  // leave the page showing the file that was.
  std::function<void()> away;
  std::function<void()> back;
  const std::string path = store_.location();
  const std::string database = path.substr(path.find('=') + 1);
  std::optional<testing::PoolStore> admin;
  if (GetParam() == "postgres") {
    ASSERT_TRUE(store_.Sql("SELECT 1")) << store_.error();
    admin.emplace("postgres");
    away = [&] {
      ASSERT_TRUE(admin->Sql("ALTER DATABASE " + database + " WITH ALLOW_CONNECTIONS false"))
          << admin->error();
      ASSERT_TRUE(
          admin->Sql("SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE datname = '" +
                     database + "' AND pid <> pg_backend_pid()"))
          << admin->error();
    };
    back = [&] {
      ASSERT_TRUE(admin->Sql("ALTER DATABASE " + database + " WITH ALLOW_CONNECTIONS true"))
          << admin->error();
    };
  } else {
    away = [&] { ASSERT_EQ(std::rename(path.c_str(), (path + ".away").c_str()), 0); };
    back = [&] { ASSERT_EQ(std::rename((path + ".away").c_str(), path.c_str()), 0); };
  }
  away();
  at = reader.WaitFor("event: store\ndata: {\"ok\": false, \"since\": \"20", at);
  ASSERT_NE(at, std::string::npos) << reader.text();
  httplib::Client client("127.0.0.1", serve.port());
  const auto down = client.Get("/api/stations");
  ASSERT_TRUE(down);
  EXPECT_EQ(down->status, 503);
  EXPECT_THAT(down->body, HasSubstr("\"error\": "));
  back();
  at = reader.WaitFor("event: store\ndata: {\"ok\": true}", at);
  ASSERT_NE(at, std::string::npos) << reader.text();
  Board("rack-2", "MAC ok\r\n", true);
  at = reader.WaitFor("{\"station\": \"rack-2\", \"mark\": \"verified\"", at);
  ASSERT_NE(at, std::string::npos) << reader.text();
  const auto again = client.Get("/api/stations");
  ASSERT_TRUE(again);
  EXPECT_EQ(again->status, 200) << again->body;
}

INSTANTIATE_TEST_SUITE_P(Stores, ServeTest, ::testing::Values("sqlite", "postgres"));

}  // namespace
}  // namespace pelorus::pool
