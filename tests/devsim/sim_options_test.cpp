#include "tools/devsim/sim_options.h"

#include <gtest/gtest.h>

namespace pelorus::devsim {
namespace {

TEST(SimOptionsTest, ReadsEveryOption) {
  const auto parsed = ParseSimOptions({"--link",
                                       "/tmp/x",
                                       "--devices=4",
                                       "--report",
                                       "r.jsonl",
                                       "--seed",
                                       "99",
                                       "--first",
                                       "00-1a-2B-3C-4D-5E",
                                       "--echo",
                                       "off",
                                       "--line-end",
                                       "lfcr",
                                       "--boot-pause",
                                       "7",
                                       "--interrupt-wait",
                                       "forever",
                                       "--command-time",
                                       "3",
                                       "--power-cycle",
                                       "11",
                                       "--restart-pause",
                                       "13",
                                       "--boot-attempts",
                                       "2",
                                       "--byte-delay",
                                       "87",
                                       "--chunk",
                                       "2-9",
                                       "--gap",
                                       "1-4",
                                       "--zeros",
                                       "10",
                                       "--noise",
                                       "20",
                                       "--wrong-readback",
                                       "2,5",
                                       "--no-answer",
                                       "3:readback",
                                       "--hangup-after",
                                       "6",
                                       "--flood",
                                       "100000",
                                       "--quiet",
                                       "--wait-open",
                                       "--open-delay",
                                       "9",
                                       "--drain-limit",
                                       "50"});
  ASSERT_TRUE(parsed.ok) << parsed.error;
  const SimOptions& o = parsed.options;
  EXPECT_EQ(o.link_path, "/tmp/x");
  EXPECT_EQ(o.devices, 4);
  EXPECT_EQ(o.seed, 99u);
  EXPECT_EQ(o.first_address, 0x001A2B3C4D5EULL);
  EXPECT_FALSE(o.echo);
  EXPECT_EQ(o.line_end, LineEnd::kLfCr);
  EXPECT_LT(o.interrupt_wait.count(), 0);
  EXPECT_EQ(o.byte_delay.count(), 87);
  EXPECT_TRUE(o.chunking);
  EXPECT_EQ(o.chunk.min, 2);
  EXPECT_EQ(o.gap_ms.max, 4);
  EXPECT_EQ(o.wrong_readback, (std::set<int>{2, 5}));
  EXPECT_EQ(o.mute_device, 3);
  EXPECT_EQ(o.mute_stage, MuteStage::kReadBack);
  EXPECT_EQ(o.hangup_after, 6);
  EXPECT_EQ(o.flood_bytes, 100000u);
  EXPECT_FALSE(o.console_output);
  EXPECT_TRUE(o.wait_open);
  EXPECT_EQ(o.open_delay.count(), 9);
}

TEST(SimOptionsTest, NoDelaysZeroesPausesButKeepsTheInterruptWait) {
  const auto parsed = ParseSimOptions({"--byte-delay", "50", "--no-delays"});
  ASSERT_TRUE(parsed.ok);
  const SimOptions& o = parsed.options;
  EXPECT_EQ(o.boot_pause.count() + o.command_time.count() + o.power_cycle.count() +
                o.restart_pause.count() + o.byte_delay.count(),
            0);
  EXPECT_EQ(o.interrupt_wait, SimOptions{}.interrupt_wait);
  // Later options win.
  EXPECT_EQ(ParseSimOptions({"--no-delays", "--boot-pause", "5"}).options.boot_pause.count(), 5);
}

TEST(SimOptionsTest, RefusesWhatItCannotUse) {
  for (const std::vector<std::string>& bad :
       std::vector<std::vector<std::string>>{{"--devices", "0"},
                                             {"--devices", "x"},
                                             {"--zeros", "101"},
                                             {"--chunk", "0-3"},
                                             {"--gap", "1"},
                                             {"--first", "00-1A-2B-3C-4D"},
                                             {"--first", "00:1A:2B:3C:4D:5E"},
                                             {"--wrong-readback", "2,"},
                                             {"--seed", "-1"},
                                             {"--quiet=yes"},
                                             {"--echo", "maybe"},
                                             {"stray"}}) {
    const auto parsed = ParseSimOptions(bad);
    EXPECT_FALSE(parsed.ok) << bad[0];
    EXPECT_FALSE(parsed.error.empty());
  }
  EXPECT_TRUE(ParseSimOptions({"--help"}).help);
}

}  // namespace
}  // namespace pelorus::devsim
