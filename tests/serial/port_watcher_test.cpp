#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "pty_fixture.h"
#include "serial/comm.h"
#include "serial/port_watcher.h"

namespace pelorus::testing {
namespace {

using PortWatcherTest = PtyFixture;

// The watcher waits while the window has a chunk in hand. A close meanwhile never waits on the
// window, and nothing of the closed port arrives after it. Reopened, the port delivers again;
// bytes that gathered in the line meanwhile are read as 4095 and 1, and a handler may close the
// port (a nested RESET).
TEST_F(PortWatcherTest, BusyWindowHoldsTheWatcherButNeverTheClose) {
  window_.Hold(true);
  ASSERT_EQ(OpenOnWindow(), 1);
  ASSERT_TRUE(WriteToPort("stale"));
  ASSERT_TRUE(window_.WaitFor([](const auto& seen) { return seen.posted == 1; }));
  ASSERT_TRUE(CloseOnWindow());
  window_.Hold(false);
  ASSERT_TRUE(window_.WaitFor([](const auto& seen) { return seen.queued == 0; }));
  EXPECT_EQ(window_.Seen().received, "");

  window_.Hold(true);
  ASSERT_EQ(OpenOnWindow(), 1);
  ASSERT_TRUE(WriteToPort("x"));
  ASSERT_TRUE(window_.WaitFor([](const auto& seen) { return seen.posted == 2; }));
  const std::string block = RandomBytes(4096);
  ASSERT_TRUE(WriteToPort(block));
  int waiting = 0;
  for (int i = 0; i < 10000 && waiting < 4095; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_EQ(ioctl(slave_, FIONREAD, &waiting), 0);
  }
  ASSERT_GE(waiting, 4095);
  window_.Hold(false);
  ASSERT_TRUE(WaitReceived("x" + block));
  EXPECT_EQ(window_.Seen().chunk_sizes, (std::vector<int>{1, 4095, 1}));

  window_.OnChunk([this] { comm_.Close(); });
  ASSERT_TRUE(WriteToPort("!"));
  ASSERT_TRUE(window_.WaitFor(
      [&](const auto& seen) { return seen.received == "x" + block + "!" && seen.queued == 0; }));
  EXPECT_FALSE(comm_.IsConnected());
}

TEST_F(PortWatcherTest, TenMegabyteStreamArrivesWholeAndInOrder) {
  const std::string stream = RandomBytes(10 << 20);
  ASSERT_EQ(OpenOnWindow(), 1);
  auto writer = std::async(std::launch::async, [&] { return WriteToPort(stream); });
  ASSERT_TRUE(
      window_.WaitFor([&](const auto& seen) { return seen.received.size() >= stream.size(); },
                      std::chrono::seconds(120)));
  EXPECT_TRUE(writer.get());
  EXPECT_TRUE(window_.Seen().received == stream);
}

TEST_F(PortWatcherTest, HangUpEndsTheWatcherAndTellsTheWindowOnce) {
  ASSERT_EQ(OpenOnWindow(), 1);
  ASSERT_TRUE(WriteToPort("last words"));
  ASSERT_TRUE(WaitReceived("last words"));
  // One watcher per port: a second one ends at once and leaves the line to the first.
  EXPECT_EQ(WatchPort(static_cast<CObject*>(&comm_)), kWatchNotStarted);

  close(master_);  // the adapter is unplugged
  master_ = -1;
  ASSERT_TRUE(window_.WaitFor([](const auto& seen) { return seen.lost == 1; }));
  EXPECT_TRUE(window_.Seen().lost_was_current);
  // A watcher polling a hung-up line would burn a whole core here.
  const std::clock_t cpu = std::clock();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_LT(std::clock() - cpu, CLOCKS_PER_SEC / 50);

  // The loss has been told; a write that fails on the gone device adds no "ERROR" to it.
  ASSERT_TRUE(window_.Run([this] { comm_.Write(3, "d\r\n"); }));
  ASSERT_TRUE(CloseOnWindow());
  EXPECT_EQ(window_.Seen().lost, 1);
  EXPECT_TRUE(window_.Seen().messages.empty());
  EXPECT_EQ(WatchPort(static_cast<CObject*>(&comm_)), kWatchEnded);  // closed: nothing to watch
}

}  // namespace
}  // namespace pelorus::testing
