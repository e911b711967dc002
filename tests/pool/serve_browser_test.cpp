// The line's page in a real browser: headless Chromium, driven from Node (puppeteer-core, put
// into the build tree by the test itself), sees a station's tile change and an attempt appear
// while the station verifies a board, without a reload; the page is kept as a screenshot.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "pool/address_pool.h"
#include "tests/pool/pool_store.h"
#include "tests/pool/serve_process.h"

namespace pelorus::pool {
namespace {

bool Found(const char* program) {
  return std::system((std::string("command -v ") + program + " >/dev/null 2>&1").c_str()) == 0;
}

TEST(ServeBrowserTest, TileChangesAndAttemptAppearsWithoutReload) {
  if (!std::filesystem::exists("/usr/bin/chromium") || !Found("node")) {
    GTEST_SKIP() << "needs /usr/bin/chromium and node (setup.sh installs both)";
  }
  const std::string driver = PELORUS_BROWSER_DIR;
  if (!std::filesystem::exists(driver + "/node_modules/puppeteer-core")) {
    std::filesystem::create_directories(driver);
    ASSERT_EQ(std::system(("cd '" + driver +
                           "' && npm install --no-audit --no-fund --loglevel=error "
                           "puppeteer-core@24 >npm.log 2>&1")
                              .c_str()),
              0)
        << "npm install puppeteer-core failed: see " << driver << "/npm.log";
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

  int to_node[2];
  int from_node[2];
  ASSERT_EQ(pipe(to_node), 0);
  ASSERT_EQ(pipe(from_node), 0);
  const pid_t node = fork();
  if (node == 0) {
    dup2(to_node[0], 0);
    dup2(from_node[1], 1);
    close(to_node[1]);
    close(from_node[0]);
    setenv("NODE_PATH", (driver + "/node_modules").c_str(), 1);
    const std::string url = "http://127.0.0.1:" + std::to_string(serve.port()) + "/";
    execlp("node", "node", PELORUS_BROWSER_SCRIPT, url.c_str(), "rack-7 <port 3>",
           screenshot.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(to_node[0]);
  close(from_node[1]);
  FILE* said = fdopen(from_node[0], "r");
  char line[256] = "";
  ASSERT_NE(std::fgets(line, sizeof line, said), nullptr) << "the browser never showed the page";
  ASSERT_STREQ(line, "ready\n");

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

  // Each word to the browser, and what it answers once the page shows it; a browser that
  // ended meanwhile is a failed answer, not a signal.
  std::signal(SIGPIPE, SIG_IGN);
  const auto tell = [&](const std::string& word) {
    const std::string text = word + "\n";
    EXPECT_EQ(write(to_node[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
    return std::fgets(line, sizeof line, said) != nullptr ? std::string(line) : std::string();
  };
  EXPECT_EQ(tell(std::to_string(id)), "ok\n");
  EXPECT_TRUE(std::filesystem::exists(screenshot));
  const std::string& path = store.location();
  ASSERT_EQ(std::rename(path.c_str(), (path + ".away").c_str()), 0);
  EXPECT_EQ(tell("away"), "down\n");
  ASSERT_EQ(std::rename((path + ".away").c_str(), path.c_str()), 0);
  EXPECT_EQ(tell("back"), "up\n");
  close(to_node[1]);
  std::fclose(said);
  int status = 0;
  waitpid(node, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
}  // namespace pelorus::pool
