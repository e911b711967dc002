#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "pool/station.h"
#include "pool/transcript.h"
#include "pool_store.h"
#include "pool_tool.h"

namespace pelorus::testing {
namespace {

using ::testing::AllOf;
using ::testing::HasSubstr;
using ::testing::StartsWith;

// A script's whole round on one station, and the record it leaves, as CSV a spreadsheet
// reads back field for field.
TEST(PoolCommandTest, StationScriptRoundAndCsvRecord) {
  PoolStore store("sqlite");
  const std::string& at = store.location();
  Result r = Tool({"create", at, "--first", "00:1A:2B:3C:00:00", "--last", "00-1a-2b-3c-00-63",
                   "--name", "LINE-A"});
  ASSERT_EQ(r.status, 0) << r.err;
  r = Tool({"lease", at, "--name", "LINE-A", "--station", "rack 2"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "00-1A-2B-3C-00-00\n");
  EXPECT_EQ(Tool({"written", at, "00-1A-2B-3C-00-00", "--station", "rack 2", "--port", "ttyUSB0",
                  "--name", "LINE-A"})
                .status,
            0);
  r = Tool({"verified", at, "00-1A-2B-3C-00-00", "--station", "rack 2", "--name", "LINE-A",
            "--readback", "1fd0000c: 00 1A 2B 3C 00 00 \"..,\""});
  ASSERT_EQ(r.status, 0) << r.err;

  ASSERT_EQ(Tool({"lease", at, "--name", "LINE-A", "--station", "rack 3"}).status, 0);

  r = Tool({"status", at, "--name", "LINE-A"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.out, HasSubstr("verified  1\n"));
  EXPECT_THAT(r.out, HasSubstr("warning: pool LINE-A has only 98 free addresses left\n"));
  EXPECT_EQ(Tool({"status", at, "--name", "LINE-A", "--json"}).out,
            "{\"pool\":\"LINE-A\",\"location\":\"" + at +
                "\",\"first\":\"00-1A-2B-3C-00-00\",\"last\":\"00-1A-2B-3C-00-63\",\"total\":100,"
                "\"issued\":2,\"verified\":1,\"written\":0,\"leased\":1,\"free\":98,"
                "\"released\":0,\"running_low\":true}\n");

  const std::string csv = store.location() + ".csv";
  ASSERT_EQ(Tool({"export", at, "--name", "LINE-A", "--csv", csv}).status, 0);
  const std::string text = ReadFile(csv);
  EXPECT_THAT(text, StartsWith("address,state,station,port,leased_at,written_at,verified_at,"
                               "attempts,readback,released_at,released_by,release_reason\r\n"
                               "00-1A-2B-3C-00-00,verified,rack 2,ttyUSB0,"));
  EXPECT_THAT(text, HasSubstr(",1,\"1fd0000c: 00 1A 2B 3C 00 00 \"\"..,\"\"\",,,\r\n"));

  r = Tool({"check", at, "00-1A-2B-3C-00-00"});
  EXPECT_THAT(r.out, HasSubstr("state     verified\n"));
  r = Tool({"check", at, "00-1A-2B-3C-00-00", "--json"});
  EXPECT_THAT(r.out, AllOf(StartsWith("{\"address\":\"00-1A-2B-3C-00-00\",\"pool\":\"LINE-A\","
                                      "\"state\":\"verified\",\"station\":\"rack 2\","),
                           HasSubstr(",\"attempts\":1,\"readback\":\"1fd0000c: 00 1A 2B 3C 00 00 "
                                     "\\\"..,\\\"\",\"released_at\":\"\","),
                           ::testing::EndsWith("\"release_reason\":\"\"}\n")));

  // Filters pick rows of the record; an export that fails leaves the older file whole.
  const std::vector<std::pair<std::vector<std::string>, std::vector<std::string>>> filters = {
      {{"--station", "rack 3"}, {"00-1A-2B-3C-00-01,leased,rack 3,"}},
      {{"--since", "2000-01-01", "--station", "rack 2"}, {"00-1A-2B-3C-00-00,verified,rack 2,"}},
      {{"--since", "2999-12-31T23:59"}, {}},
  };
  for (const auto& [filter, rows] : filters) {
    std::vector<std::string> args = {"export", at, "--name", "LINE-A"};
    args.insert(args.end(), filter.begin(), filter.end());
    r = Tool(args);
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<std::string> lines;
    std::istringstream out(r.out);
    for (std::string line; std::getline(out, line);) {
      lines.push_back(line);
    }
    ASSERT_EQ(lines.size(), rows.size() + 1) << r.out;
    for (std::size_t i = 0; i < rows.size(); ++i) {
      EXPECT_THAT(lines[i + 1], StartsWith(rows[i]));
    }
  }
  EXPECT_EQ(Tool({"export", at, "--name", "B", "--csv", csv}).status, 1);
  EXPECT_EQ(ReadFile(csv), text);
  for (const auto& entry : std::filesystem::directory_iterator(csv.substr(0, csv.rfind('/')))) {
    EXPECT_NE(entry.path().filename().string()[0], '.') << "left behind: " << entry.path();
  }
}

// Bad input: exit status 1 and one line on stderr that says what is wrong.
TEST(PoolCommandTest, BadInputIsOneLineAndStatusOne) {
  PoolStore store("sqlite");
  const std::string& at = store.location();
  ASSERT_EQ(
      Tool({"create", at, "--first", "00-1A-2B-3C-00-00", "--last", "00-1A-2B-3C-0F-FF"}).status,
      0);
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"check", at, "00-1A-2B-3C-00"}, "malformed address \"00-1A-2B-3C-00\""},
      {{"check", at, "00-1A:2B-3C-00-00"}, "malformed address"},
      {{"create", at, "--first", "00-1A-2B-3C-0F-00", "--last", "00-1A-2B-3C-1F-00", "--name", "B"},
       "overlaps pool default"},
      {{"status", at, "--name", "B"}, "no pool named B"},
      {{"status", at + ".missing"}, "no such file"},
      {{"lease", at}, "--station is required"},
      {{"release", at, "00-1A-2B-3C-00-00", "--reason", "gone"}, "--reason requires --unconfirmed"},
      {{"release", at, "00-1A-2B-3C-00-00", "--unconfirmed"}, "--unconfirmed needs a --reason"},
      {{"journal", at, "--name", "B", "--station", "s"}, "no pool named B"},
      {{"export", at, "--since", "06.12.2026"}, "malformed time \"06.12.2026\""},
  };
  for (const auto& [args, reason] : cases) {
    const Result r = Tool(args);
    EXPECT_EQ(r.status, 1) << reason;
    EXPECT_THAT(r.err, StartsWith("pelorus-pool: ")) << reason;
    EXPECT_THAT(r.err, HasSubstr(reason));
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
    EXPECT_TRUE(r.out.empty()) << r.out;
  }
  const Result help = Tool({"written", "--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_THAT(help.out, HasSubstr("--station"));
}

// A written address whose device never confirmed it: listed, spent, given back only with a
// reason; a station's claim keeps a script out; the station's journal goes on record.
TEST(PoolCommandTest, UnconfirmedAddressesClaimsAndJournal) {
  PoolStore store("sqlite");
  const std::string& at = store.location();
  const std::string state = at + ".state";
  setenv("XDG_STATE_HOME", state.c_str(), 1);
  ASSERT_EQ(
      Tool({"create", at, "--first", "00-1A-2B-3C-00-00", "--last", "00-1A-2B-3C-0F-FF"}).status,
      0);
  const std::string a = "00-1A-2B-3C-00-00";
  const std::string b = "00-1A-2B-3C-00-01";
  struct Step {
    std::vector<std::string> args;
    int status;
    std::string out;  // a part of stdout
    std::string err;  // a part of stderr
  };
  const std::vector<Step> steps = {
      {{"upgrade", at}, 0, "schema is current (version 7)\n", ""},
      {{"lease", at, "--station", "s1"}, 0, a + "\n", ""},
      {{"written", at, a, "--station", "s1", "--port", "ttyS1"}, 0, "", ""},
      {{"unconfirmed", at}, 0, "address            station  port   written", ""},
      {{"unconfirmed", at, "--station", "s1"}, 0, "\n" + a + "  s1       ttyS1  20", ""},
      {{"lease", at, "--station", "s1"}, 0, b + "\n", ""},
      {{"status", at}, 0, "written   1 (never verified", ""},
      {{"release", at, a}, 1, "", a},
      {{"release", at, a, "--unconfirmed", "--reason", "board scrapped", "--by", "ann"},
       0,
       "released " + a + "\n",
       ""},
      {{"check", at, a}, 0, " by ann\nreason    board scrapped\n", ""},
      {{"status", at}, 0, "released  1 (", ""},
      {{"export", at}, 0, ",ann,board scrapped\r\n", ""},
      {{"written", at, b, "--station", "s1", "--port", "ttyS1"}, 0, "", ""},
      {{"journal", at, "--station", "s1"}, 0, "journal empty\n", ""},
  };
  for (const Step& step : steps) {
    const Result r = Tool(step.args);
    EXPECT_EQ(r.status, step.status) << step.args[0] << ": " << r.err;
    EXPECT_THAT(r.out, HasSubstr(step.out)) << step.args[0];
    EXPECT_THAT(r.err, HasSubstr(step.err)) << step.args[0];
  }

  std::string error;
  pool::Station::Config config;
  config.location = at;
  config.station = "s1";
  auto window = pool::Station::Open(config, &error);
  ASSERT_TRUE(window && window->Claim(&error) == pool::Outcome::kDone) << error;
  Result r = Tool({"lease", at, "--station", "s1"});
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.err, AllOf(HasSubstr("s1"), HasSubstr(std::to_string(getpid()))));
  window.reset();

  // What a station journaled while the store failed: the journal command puts it on record.
  const std::string journal = pool::StationJournal::PathFor(at, "default", "s1");
  EXPECT_THAT(journal, StartsWith(state + "/pelorus/"));
  ASSERT_TRUE(pool::StationJournal(journal).Append(
      {pool::JournalMark::Kind::kVerified, 0x001A2B3C0001ULL, "ok", "2026-12-06T09:41:07.250Z", ""},
      &error));
  r = Tool({"journal", at, "--station", "s1"});
  EXPECT_THAT(r.out, StartsWith("put on record: verified " + b + " (2026-12-06T09:41:07.250Z)\n"));
  EXPECT_THAT(Tool({"check", at, b}).out, HasSubstr("state     verified\n"));
  EXPECT_EQ(Tool({"journal", at, "--station", "s1"}).out, "journal empty\n");
}

std::size_t Count(const std::string& text, const std::string& part) {
  std::size_t n = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
    ++n;
  }
  return n;
}

std::string Utc(int hour, int minute, int second) {
  char text[32];
  std::snprintf(text, sizeof text, "2026-12-06T%02d:%02d:%02d.000Z", hour, minute, second);
  return text;
}

// A scripted line, three stations over five hours: the report's figures are the record's,
// its page renders without an error and with a bar for each station's hour at work; history,
// transcript and the attempts' CSV show what each attempt did.
TEST(PoolCommandTest, ReportHistoryAndTranscriptOfAScriptedLine) {
  using pool::AttemptOutcome;
  PoolStore store("sqlite");
  const std::string& at = store.location();
  ASSERT_EQ(
      Tool({"create", at, "--first", "00-1A-2B-3C-00-00", "--last", "00-1A-2B-3C-0F-FF"}).status,
      0);
  std::string error;
  auto pool = pool::AddressPool::Open(at, false, &error);
  ASSERT_TRUE(pool) << error;

  const std::string device_bytes =
      std::string("U-Boot 2024\r\nHit CODE to stop\r\n") + '\0' + "\xFF>\r\n";
  pool::Transcript transcript;
  const std::int64_t t0 = 1796536800000000;  // 2026-12-06T08:00:00Z
  transcript.Add(pool::Transcript::Direction::kFromDevice, t0, device_bytes.data(), 31);
  transcript.Add(pool::Transcript::Direction::kToDevice, t0 + 250000, "CODE\r", 5);
  transcript.Add(pool::Transcript::Direction::kFromDevice, t0 + 1400000, device_bytes.data() + 31,
                 device_bytes.size() - 31);

  const char* const stations[] = {"bench1/COM1", "bench1/COM2", "bench2/COM1"};
  const AttemptOutcome failures[] = {AttemptOutcome::kWrongReadBack, AttemptOutcome::kNoReadBack,
                                     AttemptOutcome::kPortLost, AttemptOutcome::kWindowEnded};
  std::map<std::string, std::pair<int, int>> per_station;  // attempts, verified
  std::array<int, 5> per_outcome{};
  std::set<std::string> bars;
  std::set<Mac48> addresses;
  std::vector<double> seconds;
  int in_9_and_10 = 0;
  std::map<std::string, pool::LeasedAddress> open;  // a station's lease until a board takes it
  std::mt19937 random(7);
  std::int64_t first_id = 0;
  for (int hour = 8; hour < 13; ++hour) {
    for (int s = 0; s < 3; ++s) {
      if ((hour + s) % 4 == 3) {
        continue;  // a station at rest for the hour
      }
      const int boards = 1 + static_cast<int>(random() % 6);
      for (int b = 0; b < boards; ++b) {
        pool::Attempt a;
        a.station = stations[s];
        a.port = "ttyUSB" + std::to_string(s);
        a.outcome = random() % 4 != 0 ? AttemptOutcome::kVerified : failures[random() % 4];
        if (open.count(a.station) == 0) {
          ASSERT_TRUE(pool->Lease("default", a.station, &open[a.station], &error)) << error;
          ASSERT_TRUE(pool->MarkWritten(open[a.station], a.station, a.port, &error)) << error;
        }
        a.address = open[a.station].address;
        const int taken = 20 + static_cast<int>(random() % 40);
        a.code_at = Utc(hour, b * 9 + s, 0);
        a.ended_at = Utc(hour, b * 9 + s, taken);
        addresses.insert(*a.address);
        std::int64_t id = 0;
        const std::string kept = first_id == 0 ? transcript.Encode() : "";
        ASSERT_TRUE(pool->RecordAttempt("default", a, kept, &id, &error)) << error;
        first_id = first_id == 0 ? id : first_id;
        per_station[a.station].first += 1;
        per_outcome[static_cast<std::size_t>(a.outcome)] += 1;
        bars.insert(a.station + a.ended_at.substr(0, 13));
        in_9_and_10 += hour == 9 || hour == 10 ? 1 : 0;
        if (a.outcome == AttemptOutcome::kVerified) {
          per_station[a.station].second += 1;
          seconds.push_back(taken);
          ASSERT_TRUE(pool->MarkVerified(open[a.station], a.station, "ok", &error)) << error;
          open.erase(a.station);
        }
      }
    }
  }
  std::sort(seconds.begin(), seconds.end());
  const std::size_t half = seconds.size() / 2;
  const double median =
      seconds.size() % 2 == 1 ? seconds[half] : (seconds[half - 1] + seconds[half]) / 2;

  Result r = Tool({"report", at, "--json"});
  ASSERT_EQ(r.status, 0) << r.err;
  int attempts = 0;
  int verified = 0;
  for (const auto& [station, counts] : per_station) {
    EXPECT_THAT(r.out, HasSubstr("{\"station\": \"" + station +
                                 "\", \"attempts\": " + std::to_string(counts.first) +
                                 ", \"verified\": " + std::to_string(counts.second) + ","));
    attempts += counts.first;
    verified += counts.second;
  }
  EXPECT_THAT(r.out, HasSubstr("\n  \"attempts\": " + std::to_string(attempts) + ",\n"));
  EXPECT_THAT(r.out, HasSubstr("\n  \"verified\": " + std::to_string(verified) + ",\n"));
  for (std::size_t i = 0; i < per_outcome.size(); ++i) {
    EXPECT_THAT(r.out, HasSubstr("\"" + std::string(OutcomeName(AttemptOutcome(i))) +
                                 "\": " + std::to_string(per_outcome[i])));
  }
  EXPECT_EQ(Count(r.out, "\"hour\": "), bars.size());
  char figure[64];
  std::snprintf(figure, sizeof figure, "\"median\": %.3f, \"slowest\": %.3f", median,
                seconds.back());
  EXPECT_THAT(r.out, HasSubstr(figure));
  EXPECT_THAT(r.out, HasSubstr("\"issued\": " + std::to_string(addresses.size()) +
                               ", \"free\": " + std::to_string(4096 - addresses.size()) +
                               ", \"addresses_in_window\": " + std::to_string(addresses.size())));
  r = Tool({"report", at, "--since", "2026-12-06 09:00", "--until", "2026-12-06T11", "--json"});
  EXPECT_THAT(r.out, HasSubstr("\n  \"attempts\": " + std::to_string(in_9_and_10) + ",\n"));
  EXPECT_THAT(r.out, HasSubstr("\"since\": \"2026-12-06T09:00:00.000Z\""));

  const std::string page = at + ".html";
  ASSERT_EQ(Tool({"report", at, "--html", page}).status, 0);
  const std::string html = ReadFile(page);
  EXPECT_EQ(html.find("<script"), std::string::npos);
  EXPECT_EQ(html.find("http"), std::string::npos);
  ASSERT_EQ(std::system("command -v chromium >/dev/null"), 0)
      << "chromium is missing (setup.sh installs it)";
  const std::string profile = at + ".chromium";
  const std::vector<std::string> chromium = {"--headless",
                                             "--no-sandbox",
                                             "--disable-gpu",
                                             "--disable-quic",
                                             "--no-first-run",
                                             "--disable-background-networking",
                                             "--disable-sync",
                                             "--disable-component-update",
                                             "--user-data-dir=" + profile,
                                             "--window-size=1200,1600"};
  std::vector<std::string> dump = chromium;
  dump.insert(dump.end(), {"--dump-dom", "file://" + page});
  r = Tool(dump, "chromium");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Count(r.out, "<g class=\"bar\""), bars.size());
  EXPECT_THAT(r.out, HasSubstr("id=\"bar-bench1_2FCOM1-2026-12-06T08\""));
  std::filesystem::create_directories(PELORUS_SCREENSHOT_DIR);
  const std::string png = PELORUS_SCREENSHOT_DIR "/report.png";
  std::filesystem::remove(png);
  std::vector<std::string> shot = chromium;
  shot.insert(shot.end(),
              {"--enable-logging=stderr", "--v=0", "--screenshot=" + png, "file://" + page});
  r = Tool(shot, "chromium");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err.find("Uncaught"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("ERROR:CONSOLE"), std::string::npos) << r.err;
  EXPECT_GT(std::filesystem::file_size(png), 10000u);

  const std::string address = "00-1A-2B-3C-00-00";
  r = Tool({"history", at, address});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.out, StartsWith("id  station      port     start                     code    "));
  EXPECT_THAT(r.out, HasSubstr("\n" + std::to_string(first_id) +
                               "   bench1/COM1  ttyUSB0  2026-12-06T08:00:00.000Z  +0.000  -"));
  r = Tool({"transcript", at, std::to_string(first_id)});
  EXPECT_EQ(r.out,
            "    +0.000    U-Boot 2024\n"
            "    +0.000    Hit CODE to stop\n"
            "    +0.250 >> CODE\n"
            "    +1.400    \\x00\\xFF>\n");
  EXPECT_EQ(Tool({"transcript", at, std::to_string(first_id), "--raw"}).out, device_bytes);
  r = Tool({"export", at, "--attempts"});
  EXPECT_EQ(Count(r.out, "\r\n"), static_cast<std::size_t>(attempts) + 1);
  EXPECT_THAT(r.out, StartsWith("id,station,port,address,outcome,code_at,written_at,"
                                "readback_sent_at,matched_at,ended_at,transcript_bytes,"
                                "transcript_cut\r\n" +
                                std::to_string(first_id) + ",bench1/COM1,ttyUSB0," + address));
  EXPECT_EQ(Tool({"transcript", at, "99999"}).err,
            "pelorus-pool: " + at + ": no attempt 99999 on record\n");
}

}  // namespace
}  // namespace pelorus::testing
