// The scripted station's part of the work: which steps it runs, with which lease's token, what
// it does when a step exits 1, and what it reports. The tool is a stand-in script that
// logs each call, always leases the same address with a new token, and refuses each lease's
// first `written`; the real tool's answers are the pool's tests' business.
#include "scripted_station.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <vector>

namespace pelorus::campaign {
namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kTool = R"sh(#!/bin/sh
echo "$*" >> "$XDG_STATE_HOME/calls"
case "$1" in
  lease)
    if [ "$5" = "--json" ]; then
      echo "{\"address\":\"02-CA-00-00-00-07\",\"token\":\"t$$\"}"
    else
      echo 02-CA-00-00-00-07
    fi ;;
  written)
    shift 4
    tried="$XDG_STATE_HOME/tried$(echo "$*" | tr -c 'a-z0-9' _)"
    if [ ! -e "$tried" ]; then
      touch "$tried"
      exit 1
    fi ;;
esac
exit 0
)sh";

class ScriptedStationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/pelorus-scripts-XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    folder_ = name;
    std::ofstream(folder_ + "/pelorus-pool") << kTool;
    ::chmod((folder_ + "/pelorus-pool").c_str(), 0755);
  }
  void TearDown() override { std::filesystem::remove_all(folder_); }

  // Runs both scripts through `boards` boards each; the boards reported, by number.
  std::map<int, std::pair<std::uint64_t, bool>> Run(bool tokens, int boards) {
    std::multimap<Clock::time_point, std::function<void()>> timers;
    std::map<int, std::pair<std::uint64_t, bool>> reported;
    ScriptedStation::Config config;
    config.tool = folder_ + "/pelorus-pool";
    config.location = folder_ + "/line.db";
    config.station = "script-rack";
    config.state_home = folder_;
    config.log = folder_ + "/scripts.log";
    config.tokens = tokens;
    ScriptedStation station(
        config,
        [&](std::chrono::milliseconds after, std::function<void()> f) {
          timers.emplace(Clock::now() + after, std::move(f));
        },
        [&](int board, std::uint64_t address, bool verified) {
          reported[board] = {address, verified};
        });
    station.Begin(boards);
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    while (station.Busy() && Clock::now() < deadline) {
      PollSet set;
      station.Watch(&set);
      set.Wait(std::chrono::milliseconds(20));
      while (!timers.empty() && timers.begin()->first <= Clock::now()) {
        auto f = std::move(timers.begin()->second);
        timers.erase(timers.begin());
        f();
      }
    }
    EXPECT_FALSE(station.Busy());
    EXPECT_EQ(station.Boards(), 2 * boards);
    return reported;
  }

  std::vector<std::string> Calls() const {
    std::vector<std::string> calls;
    std::ifstream in(folder_ + "/calls");
    for (std::string line; std::getline(in, line);) {
      calls.push_back(line);
    }
    return calls;
  }

  std::string folder_;
};

// With tokens: every mark carries the token of the lease its board came with, a `written` that
// exits 1 is tried again with the same token, and each board is reported written, then
// verified, under the address its lease gave.
TEST_F(ScriptedStationTest, MarksCarryTheirLeasesTokenAndFailedStepsAreTriedAgain) {
  const auto reported = Run(true, 2);
  ASSERT_EQ(reported.size(), 4u);
  for (const auto& [board, news] : reported) {
    EXPECT_EQ(news.first, 0x02CA00000007ULL) << "board " << board;
    EXPECT_TRUE(news.second) << "board " << board;
  }
  static const std::regex mark(
      R"(^(written|verified) \S+ 02:CA:00:00:00:07 --station script-rack (--port ttyUSB0|--readback 02 CA 00 00 00 07) --token (t\d+)$)");
  std::map<std::string, int> written_per_token;
  int leases = 0;
  for (const std::string& call : Calls()) {
    std::smatch m;
    if (call.rfind("lease ", 0) == 0) {
      ++leases;
      EXPECT_NE(call.find("--station script-rack --json"), std::string::npos) << call;
    } else {
      ASSERT_TRUE(std::regex_match(call, m, mark)) << call;
      written_per_token[m[3].str()] += m[1].str() == "written" ? 1 : 0;
    }
  }
  EXPECT_EQ(leases, 4);
  ASSERT_EQ(written_per_token.size(), 4u);
  for (const auto& [token, written] : written_per_token) {
    EXPECT_EQ(written, 2) << token;
  }
}

// Without tokens (a tool that has none): the lease is the address alone, the marks carry none.
TEST_F(ScriptedStationTest, OlderToolsGetNoTokens) {
  const auto reported = Run(false, 1);
  EXPECT_EQ(reported.size(), 2u);
  for (const std::string& call : Calls()) {
    EXPECT_EQ(call.find("--json"), std::string::npos) << call;
    EXPECT_EQ(call.find("--token"), std::string::npos) << call;
  }
}

}  // namespace
}  // namespace pelorus::campaign
