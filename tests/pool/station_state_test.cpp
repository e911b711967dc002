#include "pool/station_state.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <tuple>
#include <vector>

#include "held_lock.h"
#include "pool/address_pool.h"
#include "pool_store.h"
#include "pool_tool.h"

namespace pelorus::pool {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using testing::HeldLock;
using ::testing::IsEmpty;
using ::testing::MatchesRegex;
using testing::PoolStore;
using ::testing::StartsWith;

constexpr Mac48 kFirst = 0x020000000000ULL;
constexpr const char* kPool = "LINE-A";

StationState State(const std::string& station, StationActivity activity,
                   const std::string& detail = "", const std::string& since = "") {
  return {station, activity, detail, since, "", "bench3 pid 4242"};
}

class StationStateTest : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    ASSERT_FALSE(store_.location().empty()) << store_.error();
    pool_ = AddressPool::Open(store_.location(), true, &error_);
    ASSERT_TRUE(pool_ && pool_->Create(kPool, kFirst, kFirst + 0xFF, &error_) &&
                pool_->Create("LINE-B", kFirst + 0x100, kFirst + 0x1FF, &error_))
        << error_;
  }
  bool Publish(const StationState& state, const std::string& name = kPool) {
    return pool_->PublishState(name, state, &error_);
  }
  // "station activity detail since holder heartbeat_at" of each row.
  std::vector<std::string> Rows(const std::string& name = kPool) {
    std::vector<StationState> states;
    EXPECT_TRUE(pool_->StationStates(name, &states, &error_)) << error_;
    std::vector<std::string> rows;
    for (const StationState& s : states) {
      rows.push_back(s.station + " " + ActivityText(s.activity) + " " + s.detail + " " + s.since +
                     " " + s.holder + " " + s.heartbeat_at);
    }
    return rows;
  }

  PoolStore store_{GetParam()};
  std::unique_ptr<AddressPool> pool_;
  std::string error_;
};

// Each publish writes the station's one row again with the store's time (the state's own is not
// read); the detail is kept as console lines are, cut to its room; a pool or station the rules
// do not know is refused.
TEST_P(StationStateTest, OneRowPerStationWrittenAgainByEachPublish) {
  StationState writing = State("rack/1", StationActivity::kWriting, "", "2026-12-06T09:41:07.250Z");
  writing.heartbeat_at = "1999";
  ASSERT_TRUE(Publish(writing) &&
              Publish(State("rack/2", StationActivity::kVerified, "02:00:00:00:00:05")) &&
              Publish(State("rack/1", StationActivity::kFailed, "no read-back",
                            "2026-12-06T09:41:09.000Z")))
      << error_;
  const std::string now = "20[0-9-]{8}T[0-9:]{8}\\.[0-9]{3}Z";
  EXPECT_THAT(
      Rows(),
      ElementsAre(MatchesRegex(
                      "rack/1 failed no read-back 2026-12-06T09:41:09.000Z bench3 pid 4242 " + now),
                  MatchesRegex("rack/2 verified 02:00:00:00:00:05  bench3 pid 4242 " + now)));
  EXPECT_THAT(Rows("LINE-B"), IsEmpty());
  ASSERT_TRUE(store_.Sql("UPDATE pelorus_station_states SET heartbeat_at = '2000'"));
  ASSERT_TRUE(Publish(State("rack/2", StationActivity::kVerified))) << error_;
  EXPECT_THAT(Rows(), ElementsAre(EndsWith(" 2000"), MatchesRegex(".* " + now)));

  const std::string console = std::string(
                                  "a\x01"
                                  "b\xFF") +
                              std::string(300, 'x');
  ASSERT_TRUE(Publish(State("rack/3", StationActivity::kFailed, console)) &&
              Publish(State("rack/4", StationActivity::kFailed, std::string(kDetailMaxBytes, 'y'))))
      << error_;
  EXPECT_THAT(Rows(),
              Contains(StartsWith("rack/3 failed a\\x01b\\xFF" + std::string(187, 'x') + "...  ")));
  EXPECT_THAT(Rows(),
              Contains(StartsWith("rack/4 failed " + std::string(kDetailMaxBytes, 'y') + "  ")));

  for (const auto& [name, station, why] :
       {std::tuple("LINE-C", "rack/1", "no pool named LINE-C"),
        std::tuple(kPool, "rack\x01", "holds a control character")}) {
    EXPECT_FALSE(Publish(State(station, StationActivity::kIdle), name));
    EXPECT_TRUE(pool_->Refused());
    EXPECT_THAT(error_, HasSubstr(why));
  }
  std::vector<StationState> none;
  EXPECT_FALSE(pool_->StationStates("LINE-C", &none, &error_));
  EXPECT_TRUE(pool_->Refused());
}

// A publish takes no claim, so it goes on while another object of this process holds the
// station's; behind another writer it waits no longer than the lock wait, and fails (not
// refused).
TEST_P(StationStateTest, PublishTakesNoClaimAndWaitsNoLongerThanTheLockWait) {
  auto claimer = AddressPool::Open(store_.location(), false, &error_);
  ASSERT_TRUE(claimer && claimer->Claim(kPool, "rack/1", &error_)) << error_;
  ASSERT_TRUE(Publish(State("rack/1", StationActivity::kWriting))) << error_;

  HeldLock lock(GetParam(), store_.location());
  ASSERT_TRUE(lock.held());
  pool_->SetLockWait(std::chrono::milliseconds(100));
  EXPECT_FALSE(Publish(State("rack/1", StationActivity::kVerifying)));
  EXPECT_FALSE(pool_->Refused());
  EXPECT_THAT(error_, HasSubstr("locked by another station for more than 100 ms"));
  lock.Release();
  EXPECT_THAT(Rows(), ElementsAre(StartsWith("rack/1 writing ")));
  ASSERT_TRUE(Publish(State("rack/1", StationActivity::kVerifying))) << error_;
  EXPECT_THAT(Rows(), ElementsAre(StartsWith("rack/1 verifying ")));
}

INSTANTIATE_TEST_SUITE_P(Stores, StationStateTest, ::testing::Values("sqlite", "postgres"),
                         [](const auto& info) { return std::string(info.param); });

// pelorus-pool stations prints each station's row: as text under a header, or one JSON object
// a line; the heartbeat's age counts from the store's time of the last publish.
TEST(StationsCommandTest, PrintsEachStationsLatestState) {
  PoolStore store("sqlite");
  std::string error;
  auto pool = AddressPool::Open(store.location(), true, &error);
  ASSERT_TRUE(
      pool && pool->Create(kPool, kFirst, kFirst + 0xFF, &error) &&
      pool->Create("LINE-B", kFirst + 0x100, kFirst + 0x1FF, &error) &&
      pool->PublishState(kPool,
                         State("rack/1", StationActivity::kVerified, "02:00:00:00:00:05",
                               "2026-12-06T09:41:07.250Z"),
                         &error) &&
      pool->PublishState(kPool, State("rack/2", StationActivity::kFailed, "no \"echo\""), &error) &&
      store.Sql("UPDATE pelorus_station_states SET heartbeat_at ="
                " strftime('%Y-%m-%dT%H:%M:%fZ', 'now', '-42 seconds')"))
      << error;

  const testing::Result text = testing::Tool({"stations", store.location(), "--pool", kPool});
  EXPECT_EQ(text.status, 0) << text.err;
  EXPECT_THAT(text.out,
              MatchesRegex("station  activity +since +heartbeat  holder\n"
                           "rack/1   verified \\(02:00:00:00:00:05\\)  "
                           "2026-12-06T09:41:07.250Z  4[2-9] s ago   bench3 pid 4242\n"
                           "rack/2   failed \\(no \"echo\"\\) +4[2-9] s ago   bench3 pid 4242\n"));
  const testing::Result json =
      testing::Tool({"stations", store.location(), "--json", "--name", kPool});
  EXPECT_EQ(json.status, 0) << json.err;
  EXPECT_THAT(
      json.out,
      MatchesRegex(
          "\\{\"station\":\"rack/1\",\"activity\":\"verified\",\"detail\":\"02:00:00:00:00:05\","
          "\"since\":\"2026-12-06T09:41:07.250Z\",\"heartbeat_at\":\"[-0-9T:.]+Z\","
          "\"heartbeat_age_s\":4[2-9]\\.[0-9]+,\"holder\":\"bench3 pid 4242\"\\}\n"
          "\\{\"station\":\"rack/2\",\"activity\":\"failed\",\"detail\":\"no "
          "\\\\\"echo\\\\\"\",.*\\}\n"));
  EXPECT_EQ(testing::Tool({"stations", store.location(), "--pool", "LINE-B"}).out,
            "station  activity  since  heartbeat  holder\n");
  EXPECT_THAT(testing::Tool({"stations", store.location()}).err,
              HasSubstr("holds the pools LINE-A, LINE-B: name one with --name"));
}

}  // namespace
}  // namespace pelorus::pool
