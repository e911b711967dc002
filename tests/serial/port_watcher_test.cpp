#include <sys/ioctl.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <future>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "pty_fixture.h"
#include "serial/comm.h"
#include "serial/port_watcher.h"

namespace pelorus::testing {
namespace {

using std::chrono::milliseconds;

long ProcessCpuMicroseconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return now.tv_sec * 1000000L + now.tv_nsec / 1000;
}

TEST(WatchPort, RefusesWhatIsNotAPortObject) {
  EXPECT_EQ(WM_PORT_DATA, 0x0464u);
  EXPECT_EQ(WatchPort(nullptr), 0xFFFFFFFFu);
  CObject plain;
  EXPECT_EQ(WatchPort(&plain), 0xFFFFFFFFu);
  CComm closed;  // nothing to watch: ends at once
  EXPECT_EQ(WatchPort(static_cast<CObject*>(&closed)), kWatchEnded);
}

using PortWatcherTest = PtyFixture;

TEST_F(PortWatcherTest, OnlyOneWatcherRunsPerPort) {
  ASSERT_EQ(OpenOnWindow(), 1);
  ASSERT_TRUE(WriteToPort("one"));
  ASSERT_TRUE(window_.WaitFor([this] { return window_.seen_.received == "one"; }));
  auto second =
      std::async(std::launch::async, [this] { return WatchPort(static_cast<CObject*>(&comm_)); });
  ASSERT_EQ(second.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(second.get(), kWatchNotStarted);
  ASSERT_TRUE(WriteToPort(" reader"));
  ASSERT_TRUE(window_.WaitFor([this] { return window_.seen_.received == "one reader"; }));
}

TEST_F(PortWatcherTest, WaitingBytesComeAsChunksOfAtMost4095) {
  window_.Hold(true);
  ASSERT_EQ(OpenOnWindow(), 1);
  ASSERT_TRUE(WriteToPort("x"));
  ASSERT_TRUE(window_.WaitFor([this] { return window_.seen_.posted == 1; }));

  // The watcher is held by the window: these bytes wait in the line until it is let go.
  std::string block(4096, '\0');
  for (std::size_t i = 0; i < block.size(); ++i) {
    block[i] = static_cast<char>(i * 7 + 1);
  }
  ASSERT_TRUE(WriteToPort(block));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  int waiting = 0;
  while (waiting < 4095 && std::chrono::steady_clock::now() < deadline) {
    ASSERT_EQ(ioctl(slave_, FIONREAD, &waiting), 0);
    std::this_thread::yield();
  }
  ASSERT_GE(waiting, 4095);

  window_.Hold(false);
  ASSERT_TRUE(window_.WaitFor([this] { return window_.seen_.received.size() == 4097; }));
  EXPECT_EQ(window_.Seen().received, "x" + block);
  EXPECT_EQ(window_.Seen().chunk_sizes, (std::vector<int>{1, 4095, 1}));
}

TEST_F(PortWatcherTest, ChunksWithLeadingZeroArriveAlsoAfterTheLineRanEmpty) {
  ASSERT_EQ(OpenOnWindow(), 1);
  const std::string first("\0\0boot\r\n", 8);
  ASSERT_TRUE(WriteToPort(first));
  ASSERT_TRUE(window_.WaitFor([&] { return window_.seen_.received.size() == first.size(); }));
  // The watcher has drained the line empty by now; an empty line is no hang-up.
  const std::string second("\0CODE\r\n", 7);
  ASSERT_TRUE(WriteToPort(second));
  ASSERT_TRUE(window_.WaitFor(
      [&] { return window_.seen_.received.size() == first.size() + second.size(); }));
  EXPECT_EQ(window_.Seen().received, first + second);
  EXPECT_EQ(window_.Seen().lost_count, 0);
}

TEST_F(PortWatcherTest, TenMegabyteStreamArrivesWholeAndInOrder) {
  constexpr std::size_t kSize = 10 * 1024 * 1024;
  std::string stream(kSize, '\0');
  std::mt19937 random(4);
  for (char& c : stream) {
    c = static_cast<char>(random());
  }
  ASSERT_EQ(OpenOnWindow(), 1);
  auto writer = std::async(std::launch::async, [&] { return WriteToPort(stream); });
  ASSERT_TRUE(window_.WaitFor([&] { return window_.seen_.received.size() >= kSize; },
                              std::chrono::seconds(120)))
      << "received " << window_.Seen().received.size() << ", posted " << window_.Seen().posted;
  ASSERT_EQ(writer.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_TRUE(writer.get());
  EXPECT_TRUE(window_.Seen().received == stream);
  for (int n : window_.Seen().chunk_sizes) {
    ASSERT_GE(n, 1);
    ASSERT_LE(n, CComm::kMaxChunk);
  }
}

TEST_F(PortWatcherTest, CloseWithAChunkInTheWindowsQueueDeliversNothingAndReopens) {
  window_.Hold(true);
  ASSERT_EQ(OpenOnWindow(), 1);
  ASSERT_TRUE(WriteToPort("stale"));
  ASSERT_TRUE(window_.WaitFor([this] { return window_.seen_.posted == 1; }));

  // The watcher waits for the window, the window closes: neither waits for the other.
  ASSERT_TRUE(CloseOnWindow());
  EXPECT_FALSE(comm_.IsConnected());
  window_.Hold(false);
  ASSERT_TRUE(window_.WaitFor([this] { return window_.seen_.queued == 0; }));
  ASSERT_TRUE(window_.Run([] {}));
  EXPECT_EQ(window_.Seen().received, "");

  // Reopened, the port delivers again, and the earlier open's chunk stays stale.
  window_.Hold(true);
  ASSERT_EQ(OpenOnWindow(), 1);
  ASSERT_TRUE(WriteToPort("fresh"));
  ASSERT_TRUE(window_.WaitFor([this] { return window_.seen_.posted == 2; }));
  window_.Hold(false);
  ASSERT_TRUE(window_.WaitFor([this] { return window_.seen_.received == "fresh"; }));
}

TEST_F(PortWatcherTest, CloseFromInsideTheHandlerEndsTheWatcher) {
  std::atomic<bool> closed{false};
  window_.SetChunkHook([&] {
    comm_.Close();
    closed = true;
  });
  ASSERT_EQ(OpenOnWindow(), 1);
  ASSERT_TRUE(WriteToPort("first"));
  ASSERT_TRUE(window_.WaitFor([&] { return closed.load(); }));
  ASSERT_TRUE(window_.Run([] {}));
  EXPECT_FALSE(comm_.IsConnected());
  EXPECT_EQ(window_.Seen().chunk_sizes.size(), 1u);
}

TEST_F(PortWatcherTest, HangUpEndsTheWatcherAndTellsTheWindowOnce) {
  ASSERT_EQ(OpenOnWindow(), 1);
  ASSERT_TRUE(WriteToPort("last words"));
  ASSERT_TRUE(window_.WaitFor([this] { return window_.seen_.received == "last words"; }));

  CloseMaster();  // the adapter is unplugged
  ASSERT_TRUE(window_.WaitFor([this] { return window_.seen_.lost_count == 1; }));
  EXPECT_TRUE(window_.Seen().lost_was_current);

  // A watcher polling a hung-up line would burn a whole core here.
  const long before = ProcessCpuMicroseconds();
  std::this_thread::sleep_for(milliseconds(300));
  EXPECT_LT(ProcessCpuMicroseconds() - before, 20000);
  EXPECT_EQ(window_.Seen().lost_count, 1);

  int result = 0;
  ASSERT_TRUE(window_.Run([&] { result = comm_.Write(3, "d\r\n"); }));
  EXPECT_EQ(result, 1);
  const auto messages = window_.Seen().messages;
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].text, "ERROR");

  ASSERT_TRUE(CloseOnWindow());
  EXPECT_EQ(window_.Seen().lost_count, 1);
}

TEST_F(PortWatcherTest, WatcherWithoutWakeUpEventWarnsAndReadsNothing) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the sanitizer's own memory checks need descriptors that this test uses up";
#endif
  // Fill every descriptor below a lowered limit but one, which the port takes: the watcher's
  // eventfd then cannot be created.
  rlimit old{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
  const rlim_t limit = static_cast<rlim_t>(HighestOpenDescriptor()) + 16;
  std::vector<int> fillers;
  for (int fd = open("/dev/null", O_RDONLY); fd >= 0; fd = open("/dev/null", O_RDONLY)) {
    if (static_cast<rlim_t>(fd) == limit - 1) {
      close(fd);
      break;
    }
    fillers.push_back(fd);
  }
  rlimit lowered = old;
  lowered.rlim_cur = limit;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);
  const int opened = OpenOnWindow();
  const bool warned = window_.WaitFor([this] { return !window_.seen_.messages.empty(); });
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &old), 0);
  for (int fd : fillers) {
    close(fd);
  }

  EXPECT_EQ(opened, 1);
  ASSERT_TRUE(warned);
  const auto messages = window_.Seen().messages;
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].text, "Failed to create event for thread!");
  EXPECT_EQ(messages[0].caption, "comm Error!");
  EXPECT_TRUE(messages[0].warning);
  EXPECT_TRUE(comm_.IsConnected());
  ASSERT_TRUE(CloseOnWindow());
}

}  // namespace
}  // namespace pelorus::testing
