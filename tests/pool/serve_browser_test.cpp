// The line's page in a real browser: headless Chromium, driven from Node (puppeteer-core, put
// into the build tree by the test itself), sees a station's tile change and an attempt appear
// while the station verifies a board, without a reload; the page is kept as a screenshot.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

#include "pool/address_pool.h"
#include "tests/pool/node_browser.h"
#include "tests/pool/pool_store.h"
#include "tests/pool/serve_process.h"

namespace pelorus::pool {
namespace {

TEST(ServeBrowserTest, TileChangesAndAttemptAppearsWithoutReload) {
  if (!testing::NodeBrowser::Available()) {
    GTEST_SKIP() << "needs /usr/bin/chromium and node (setup.sh installs both)";
  }
  testing::PoolStore store("sqlite");
  ASSERT_FALSE(store.location().empty()) << store.error();
  std::string error;
  auto pool = AddressPool::Open(store.location(), true, &error);
  ASSERT_TRUE(pool) << error;
  ASSERT_TRUE(pool->Create("line", 0x020000000000, 0x02000000FFFF, &error)) << error;
  StationState state;
  state.station = "rack-7 <port 3>";
  state.activity = StationActivity::kWaitingForBoard;
  state.since = UtcNowText();
  ASSERT_TRUE(pool->PublishState("line", state, &error)) << error;
  state.station = "window-1";
  state.activity = StationActivity::kFailed;
  state.detail = "wrong read-back: MAC 02:00:00:00:00:99";
  ASSERT_TRUE(pool->PublishState("line", state, &error)) << error;

  testing::ServeProcess serve(store.location());
  ASSERT_GT(serve.port(), 0) << serve.err();
  std::filesystem::create_directories(PELORUS_SCREENSHOT_DIR);
  const std::string screenshot = std::string(PELORUS_SCREENSHOT_DIR) + "/line-view.png";
  std::filesystem::remove(screenshot);

  testing::NodeBrowser browser(
      PELORUS_BROWSER_DIR, PELORUS_BROWSER_SCRIPT,
      {"http://127.0.0.1:" + std::to_string(serve.port()) + "/", "rack-7 <port 3>", screenshot});
  ASSERT_EQ(browser.error(), "");
  std::string line;
  ASSERT_TRUE(browser.Line(&line, std::chrono::seconds(60))) << "the browser never showed the page";
  ASSERT_EQ(line, "ready");

  // The station takes a board through its steps, as a window does.
  LeasedAddress leased;
  ASSERT_TRUE(pool->Lease("line", "rack-7 <port 3>", &leased, &error)) << error;
  state.station = "rack-7 <port 3>";
  state.activity = StationActivity::kWriting;
  state.detail = "";
  state.since = UtcNowText();
  ASSERT_TRUE(pool->PublishState("line", state, &error)) << error;
  ASSERT_TRUE(pool->MarkWritten(leased, state.station, "ttyUSB3", &error)) << error;
  ASSERT_TRUE(pool->MarkVerified(leased, state.station, "MAC 02:00:00:00:00:00", &error)) << error;
  Attempt attempt;
  attempt.station = state.station;
  attempt.port = "ttyUSB3";
  attempt.address = leased.address;
  attempt.code_at = UtcNowText();
  attempt.ended_at = UtcNowText();
  std::int64_t id = 0;
  ASSERT_TRUE(pool->RecordAttempt("line", attempt, "", &id, &error)) << error;
  state.activity = StationActivity::kVerified;
  state.detail = FormatMac48(leased.address);
  state.since = UtcNowText();
  ASSERT_TRUE(pool->PublishState("line", state, &error)) << error;

  // Each word to the browser, and what it answers once the page shows it.
  const auto tell = [&](const std::string& word) {
    std::string answer;
    return browser.Tell(word) && browser.Line(&answer, std::chrono::seconds(60)) ? answer : "";
  };
  EXPECT_EQ(tell(std::to_string(id)), "ok");
  EXPECT_TRUE(std::filesystem::exists(screenshot));
  const std::string& path = store.location();
  ASSERT_EQ(std::rename(path.c_str(), (path + ".away").c_str()), 0);
  EXPECT_EQ(tell("away"), "down");
  ASSERT_EQ(std::rename((path + ".away").c_str(), path.c_str()), 0);
  EXPECT_EQ(tell("back"), "up");
  EXPECT_EQ(browser.Finish(), 0);
}

}  // namespace
}  // namespace pelorus::pool
