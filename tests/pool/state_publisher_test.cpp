#include "pool/state_publisher.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "held_lock.h"
#include "pool_store.h"
#include "tcp_relay.h"

namespace pelorus::pool {
namespace {

using ::testing::ElementsAre;
using testing::HeldLock;
using testing::PoolStore;
using Clock = StatePublisher::Clock;
using std::chrono::milliseconds;

constexpr const char* kPool = AddressPool::kDefaultName;
constexpr milliseconds kForever = milliseconds::max();

// The publisher's time, moved by the test alone: the thread waits until the clock moves or it
// is woken. Counted as events: its looks at the clock (one as it gathers what to publish) and
// its waits, each with the span it asked for (kForever for none) kept.
class HandClock {
 public:
  StatePublisher::Timing Timing(milliseconds heartbeat, milliseconds lock_wait) {
    StatePublisher::Timing timing{heartbeat, lock_wait};
    timing.now = [this] {
      std::lock_guard<std::mutex> guard(mutex_);
      Happened();
      return now_;
    };
    timing.wait_until = [this](auto& wake, auto& lock, Clock::time_point until) {
      {
        std::lock_guard<std::mutex> guard(mutex_);
        wake_ = &wake;
        theirs_ = lock.mutex();
        spans_.push_back(until == Clock::time_point::max()
                             ? kForever
                             : std::chrono::duration_cast<milliseconds>(until - now_));
        Happened();
      }
      wake.wait(lock);
    };
    return timing;
  }

  // Moved under the publisher's lock, so that its thread cannot miss it.
  void Advance(milliseconds span) {
    ASSERT_TRUE(Await([this] { return !Spans().empty(); }));
    std::unique_lock<std::mutex> guard(mutex_);
    std::mutex* theirs = theirs_;
    guard.unlock();
    std::lock_guard<std::mutex> held(*theirs);
    guard.lock();
    now_ += span;
    wake_->notify_all();
  }
  // Until done() holds, looked at after each event; false after a long bound.
  bool Await(const std::function<bool()>& done) {
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    for (int seen = Events(); !done(); seen = Events()) {
      std::unique_lock<std::mutex> lock(mutex_);
      if (!happened_.wait_until(lock, deadline, [&] { return events_ != seen; })) {
        return false;
      }
    }
    return true;
  }
  int Events() {
    std::lock_guard<std::mutex> guard(mutex_);
    return events_;
  }
  std::vector<milliseconds> Spans() {
    std::lock_guard<std::mutex> guard(mutex_);
    return spans_;
  }
  milliseconds LastSpan() {
    const auto spans = Spans();
    return spans.empty() ? milliseconds(-1) : spans.back();
  }

 private:
  void Happened() {
    ++events_;
    happened_.notify_all();
  }

  std::mutex mutex_;
  std::condition_variable happened_;
  Clock::time_point now_{};
  std::condition_variable* wake_ = nullptr;
  std::mutex* theirs_ = nullptr;
  int events_ = 0;
  std::vector<milliseconds> spans_;
};

StationState State(const std::string& station, StationActivity activity,
                   const std::string& detail = "") {
  return {station, activity, detail, "2026-12-06T09:41:07.250Z", "", ""};
}

class StatePublisherTest : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    ASSERT_FALSE(store_.location().empty()) << store_.error();
    pool_ = AddressPool::Open(store_.location(), true, &error_);
    ASSERT_TRUE(pool_ && pool_->Create(kPool, 0x020000000000ULL, 0x0200000000FFULL, &error_))
        << error_;
  }
  std::vector<StationState> States() {
    std::vector<StationState> states;
    EXPECT_TRUE(pool_->StationStates(kPool, &states, &error_)) << error_;
    return states;
  }
  // "station activity detail" of each row.
  std::vector<std::string> Rows() {
    std::vector<std::string> rows;
    for (const StationState& s : States()) {
      rows.push_back(s.station + " " + ActivityText(s.activity) + " " + s.detail);
    }
    return rows;
  }

  PoolStore store_{GetParam()};
  std::unique_ptr<AddressPool> pool_;
  std::string error_;
  HandClock clock_;
};

// A state published while the one before it is going on record lands after it; a row unchanged
// is written again once its heartbeat is due, and not before.
TEST_P(StatePublisherTest, PutsTheLatestStateLastAndWritesItAgainEachHeartbeat) {
  auto lock = std::make_unique<HeldLock>(GetParam(), store_.location());
  ASSERT_TRUE(lock->held());
  StatePublisher publisher(store_.location(), kPool,
                           clock_.Timing(milliseconds(5000), std::chrono::minutes(1)));
  ASSERT_TRUE(clock_.Await([&] { return !clock_.Spans().empty(); }));
  const int events = clock_.Events();
  publisher.Publish(State("rack/1", StationActivity::kWriting));
  // The next event is the look as the thread takes it: its step then waits for the lock.
  ASSERT_TRUE(clock_.Await([&] { return clock_.Events() > events; }));
  publisher.Publish(State("rack/1", StationActivity::kVerified, "02:00:00:00:00:05"));
  lock.reset();
  ASSERT_TRUE(clock_.Await([&] { return publisher.Published() == 2; }));
  EXPECT_THAT(Rows(), ElementsAre("rack/1 verified 02:00:00:00:00:05"));
  EXPECT_THAT(States()[0].holder, ::testing::EndsWith(" pid " + std::to_string(getpid())));

  ASSERT_TRUE(clock_.Await([&] { return clock_.LastSpan() == milliseconds(5000); }));
  ASSERT_TRUE(store_.Sql("UPDATE pelorus_station_states SET heartbeat_at = '2000'"));
  clock_.Advance(milliseconds(4999));
  ASSERT_TRUE(clock_.Await([&] { return clock_.LastSpan() == milliseconds(1); }));
  EXPECT_EQ(publisher.Published(), 2u);
  clock_.Advance(milliseconds(1));
  ASSERT_TRUE(clock_.Await([&] { return publisher.Published() == 3; }));
  EXPECT_GT(States()[0].heartbeat_at, "2000");
}

// While the store is out of reach (its write lock held on SQLite; its server refusing
// connections on PostgreSQL) the publisher tries again after 250 ms, doubling up to 5 s, and
// keeps each station's latest state: once the store is back, that one alone goes on record.
TEST_P(StatePublisherTest, KeepsTheLatestStatesWhileTheStoreIsOut) {
  const bool sqlite = std::string(GetParam()) == "sqlite";
  auto lock = sqlite ? std::make_unique<HeldLock>(GetParam(), store_.location()) : nullptr;
  const char* port = std::getenv("PGPORT");
  testing::TcpRelay relay("127.0.0.1", port != nullptr ? std::atoi(port) : 5432);
  relay.Refuse(true);
  const std::string location =
      sqlite ? store_.location()
             : "host=127.0.0.1 port=" + std::to_string(relay.port()) + " " + store_.location();
  StatePublisher publisher(location, kPool,
                           clock_.Timing(std::chrono::minutes(1), milliseconds(50)));
  ASSERT_TRUE(clock_.Await([&] { return !clock_.Spans().empty(); }));
  publisher.Publish(State("rack/1", StationActivity::kWriting));
  for (int i = 0; i < 50; ++i) {
    publisher.Publish(State("rack/1", StationActivity::kVerifying, std::to_string(i)));
  }
  publisher.Publish(State("rack/1", StationActivity::kVerified, "02:00:00:00:00:05"));
  publisher.Publish(State("rack/2", StationActivity::kFailed, "no read-back"));
  ASSERT_TRUE(clock_.Await([&] { return clock_.LastSpan() == milliseconds(250); }));
  EXPECT_FALSE(publisher.LastError().empty());
  for (const int ms : {250, 500, 1000, 2000, 4000}) {
    clock_.Advance(milliseconds(ms));
    const milliseconds next(std::min(ms * 2, 5000));
    ASSERT_TRUE(clock_.Await([&] { return clock_.LastSpan() == next; })) << "after " << ms;
  }
  EXPECT_TRUE(Rows().empty());

  lock.reset();
  relay.Refuse(false);
  clock_.Advance(milliseconds(5000));
  ASSERT_TRUE(clock_.Await([&] { return publisher.Published() == 2; }));
  EXPECT_THAT(Rows(),
              ElementsAre("rack/1 verified 02:00:00:00:00:05", "rack/2 failed no read-back"));
  EXPECT_EQ(publisher.LastError(), "");
  std::vector<milliseconds> spans = clock_.Spans();
  spans.erase(std::unique(spans.begin(), spans.end()), spans.end());
  EXPECT_THAT(spans, ElementsAre(kForever, milliseconds(250), milliseconds(500), milliseconds(1000),
                                 milliseconds(2000), milliseconds(4000), milliseconds(5000),
                                 std::chrono::minutes(1)));
}

// The publisher's end puts each station it knew on record as idle; with the store held it gives
// up within its bound, the step under way interrupted.
TEST_P(StatePublisherTest, EndsPublishingEachStationIdleWithinItsBound) {
  {
    StatePublisher publisher(store_.location(), kPool,
                             clock_.Timing(milliseconds(5000), milliseconds(5000)));
    publisher.Publish(State("rack/1", StationActivity::kVerified, "02:00:00:00:00:05"));
    publisher.Publish(State("rack/2", StationActivity::kWriting));
    ASSERT_TRUE(clock_.Await([&] { return publisher.Published() == 2; }));
  }
  EXPECT_THAT(Rows(), ElementsAre("rack/1 idle ", "rack/2 idle "));
  EXPECT_NE(States()[0].since, "2026-12-06T09:41:07.250Z");

  HeldLock lock(GetParam(), store_.location());
  ASSERT_TRUE(lock.held());
  const auto asked = Clock::now();
  {
    StatePublisher publisher(store_.location(), kPool);
    publisher.Publish(State("rack/3", StationActivity::kWriting));
  }
  EXPECT_LT(Clock::now() - asked, StatePublisher::kFarewell * 3);
  lock.Release();
  EXPECT_THAT(Rows(), ElementsAre("rack/1 idle ", "rack/2 idle "));
}

INSTANTIATE_TEST_SUITE_P(Stores, StatePublisherTest, ::testing::Values("sqlite", "postgres"),
                         [](const auto& info) { return std::string(info.param); });

}  // namespace
}  // namespace pelorus::pool
