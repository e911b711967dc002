// The run engine on its own, without a window: its mailbox, many runs in one process on one
// pool, and a board whose read-back matched while the operator ends the run.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <future>
#include <map>
#include <memory>
#include <set>
#include <thread>

#include "../pool/held_lock.h"
#include "../pool/pool_store.h"
#include "../station/child.h"
#include "pool/address_pool.h"
#include "run_fixture.h"

using namespace pelorus;
using namespace pelorus::testing;
using std::chrono::milliseconds;

namespace {

constexpr Mac48 kFirst = 0x001A2B3C0000ULL;

// The simulated device program run with `args` on a pseudo-terminal of its own; Path() is its
// port once it runs.
class SimulatedDevice {
 public:
  explicit SimulatedDevice(const std::vector<std::string>& args) : child_(args, ErrPath()) {
    std::string line;  // the first is "pty /dev/pts/N"
    if (child_.ReadLine(&line) && line.rfind("pty ", 0) == 0) {
      path_ = line.substr(4);
    }
  }

  const std::string& Path() const { return path_; }

 private:
  static std::string ErrPath() {
    static int count = 0;
    return ::testing::TempDir() + "run-devsim-" + std::to_string(getpid()) + "-" +
           std::to_string(++count) + ".err";
  }

  Child child_;
  std::string path_;
};

std::unique_ptr<RunStation> OpenStation(const std::string& location, const std::string& name) {
  std::string error;
  auto station =
      RunStation::Open({location, pool::AddressPool::kDefaultName, name, nullptr}, &error);
  EXPECT_NE(station, nullptr) << error;
  return station;
}

// The state state of address in the record, "verified" and so on.
std::string StateOf(const std::string& location, Mac48 address) {
  std::string error;
  auto pool = pool::AddressPool::Open(location, false, &error);
  pool::AddressRecord record;
  if (!pool || !pool->Check(address, &record, &error)) {
    return "unknown: " + error;
  }
  return pool::StateName(record.state);
}

class RunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    state_ = std::filesystem::temp_directory_path() /
             ("pelorus_run_test_" + std::to_string(getpid()) + "_" +
              ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(state_);
    setenv("XDG_STATE_HOME", state_.c_str(), 1);
  }
  void TearDown() override { std::filesystem::remove_all(state_); }

  bool CreatePool(const PoolStore& store, Mac48 last) {
    std::string error;
    auto pool = pool::AddressPool::Open(store.location(), true, &error);
    return pool && pool->Create(pool::AddressPool::kDefaultName, kFirst, last, &error);
  }

  std::filesystem::path state_;
};

}  // namespace

// A wait ends when its time has passed, or at once when its run is stopped; a stop reaches
// the runs begun before it only; news comes out in the order it was posted.
TEST(MailboxTest, WaitsEndOnTimeOrAtOnceWhenStopped) {
  Mailbox mailbox;
  const std::uint64_t first = mailbox.Begin();
  ASSERT_EQ(mailbox.Next(0)->kind, Mailbox::Event::Kind::kStart);
  const auto deadline = Mailbox::Clock::now() + milliseconds(20);
  EXPECT_TRUE(mailbox.SleepUntil(first, deadline));
  EXPECT_GE(Mailbox::Clock::now(), deadline);

  const auto begun = Mailbox::Clock::now();
  std::thread stopper([&] { mailbox.Stop(); });
  EXPECT_FALSE(mailbox.SleepUntil(first, begun + std::chrono::minutes(1)));
  stopper.join();
  EXPECT_LT(Mailbox::Clock::now() - begun, std::chrono::seconds(30));
  EXPECT_FALSE(mailbox.Next(first).has_value());
  pollfd stop{mailbox.StopFd(), POLLIN, 0};
  EXPECT_EQ(poll(&stop, 1, 0), 1);

  mailbox.Rearm();
  const std::uint64_t second = mailbox.Begin();
  EXPECT_TRUE(mailbox.Stopped(first));
  EXPECT_FALSE(mailbox.Stopped(second));
  EXPECT_EQ(poll(&stop, 1, 0), 0);
  mailbox.Post({Mailbox::Event::Kind::kStep, +1});
  mailbox.Post({Mailbox::Event::Kind::kStep, -1});
  EXPECT_EQ(mailbox.Next(second)->kind, Mailbox::Event::Kind::kStart);
  EXPECT_EQ(mailbox.Next(second)->value, +1);
  EXPECT_EQ(mailbox.Next(second)->value, -1);
  EXPECT_FALSE(mailbox.Next(second, Mailbox::Clock::now() + milliseconds(1)).has_value());
}

// Eight ports in one process, each a run on a simulated board of its own, all on one pool:
// every board is verified, no address goes to two boards, and each station's boards are its
// own on record.
TEST_F(RunTest, EightRunsOnOnePoolGiveEveryBoardItsOwnAddress) {
  constexpr int kPorts = 8;
  constexpr int kBoards = 3;
  PoolStore store("sqlite");
  ASSERT_TRUE(CreatePool(store, kFirst + 63));
  std::vector<std::unique_ptr<SimulatedDevice>> devices;
  std::vector<std::unique_ptr<RecordingObserver>> views;
  std::vector<std::unique_ptr<pelorus::Run>> runs;
  for (int k = 0; k < kPorts; ++k) {
    devices.push_back(std::make_unique<SimulatedDevice>(std::vector<std::string>{
        PELORUS_DEVSIM, "--wait-open", "--no-delays", "--interrupt-wait", "forever", "--devices",
        std::to_string(kBoards), "--any-address", "--quiet", "--seed", std::to_string(k + 1)}));
    ASSERT_FALSE(devices.back()->Path().empty());
    views.push_back(std::make_unique<RecordingObserver>());
    runs.push_back(std::make_unique<pelorus::Run>(
        *views.back(), OpenStation(store.location(), "rack/" + std::to_string(k))));
    views.back()->CloseBannersOf(runs.back().get());
    runs.back()->SetTarget(devices.back()->Path());
    runs.back()->Start(RunSettings(), {});
  }
  std::set<std::string> addresses;
  for (int k = 0; k < kPorts; ++k) {
    ASSERT_TRUE(views[k]->WaitFor(
        [](const RecordingObserver::Seen& seen) { return seen.banners.size() == kBoards; },
        std::chrono::seconds(90)))
        << "port " << k << ": " << views[k]->Now().banners.size() << " boards";
    for (const std::string& banner : views[k]->Now().banners) {
      addresses.insert(banner);
    }
  }
  for (auto& run : runs) {
    run->Stop();
  }
  EXPECT_EQ(addresses.size(), static_cast<std::size_t>(kPorts * kBoards));

  std::string error;
  auto pool = pool::AddressPool::Open(store.location(), false, &error);
  ASSERT_NE(pool, nullptr) << error;
  std::map<std::string, int> verified_by;
  ASSERT_TRUE(pool->Export(
      pool::AddressPool::kDefaultName,
      [&](const pool::AddressRecord& record) {
        if (record.state == pool::AddressState::kVerified) {
          ++verified_by[record.station];
        }
      },
      &error));
  ASSERT_EQ(verified_by.size(), static_cast<std::size_t>(kPorts));
  for (const auto& [station, boards] : verified_by) {
    EXPECT_EQ(boards, kBoards) << station;
  }
}

// The operator ends the run while the board's verified mark waits for a locked store: the
// board holds its address, so the record says verified, its attempt ends verified, and the
// station's next run tells the operator that the board is done.
TEST_F(RunTest, ReadBackMatchedIsVerifiedWhateverComesNext) {
  PoolStore store("sqlite");
  ASSERT_TRUE(CreatePool(store, kFirst + 9));
  HandDevice device;
  RecordingObserver view;
  pelorus::Run run(view, OpenStation(store.location(), "bench1"));
  run.SetWaitFunction([](milliseconds) {});
  run.SetTarget(device.Path());
  run.Start(RunSettings(), {});
  ASSERT_TRUE(view.WaitFor([](const auto& seen) { return seen.started.size() == 1; }));
  ASSERT_TRUE(device.Send("CODE\r\n480\r\n"));
  std::string sent;
  while (sent.find("macprog2 00-1A-2B-3C-00-00\n") == std::string::npos) {
    const std::string more = device.Received(std::chrono::seconds(10));
    ASSERT_FALSE(more.empty()) << sent;
    sent += more;
  }

  HeldLock locker("sqlite", store.location());
  ASSERT_TRUE(locker.held());
  // The read-back line is in the run's hands once it is logged: the operator ends the run
  // then, before the mark is on record.
  view.OnLog([&run](const std::string& bytes) {
    if (bytes.find("00 1A 2B 3C 00 00") != std::string::npos) {
      run.Stop();
    }
  });
  ASSERT_TRUE(device.Send("1fd0000c: 00 1A 2B 3C 00 00\r\n"));
  ASSERT_TRUE(view.WaitFor([](const auto& seen) { return seen.ended.size() == 1; }));
  locker.Release();
  EXPECT_TRUE(view.Now().banners.empty());

  view.OnLog(nullptr);
  run.Start(RunSettings(), {});
  ASSERT_TRUE(view.WaitFor([](const auto& seen) { return seen.started.size() == 2; }));
  const auto messages = view.Now().messages;
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].rfind("The board with 00-1A-2B-3C-00-00 (verified at ", 0), 0u)
      << messages[0];
  EXPECT_EQ(StateOf(store.location(), kFirst), "verified");
  std::string error;
  auto pool = pool::AddressPool::Open(store.location(), false, &error);
  std::vector<pool::Attempt> attempts;
  ASSERT_TRUE(pool->History(kFirst, &attempts, &error)) << error;
  ASSERT_EQ(attempts.size(), 1u);
  EXPECT_EQ(attempts[0].outcome, pool::AttemptOutcome::kVerified);
  run.Stop();
}
