// Rack: the real pelorus-station program, many ports in one process, each measurement on a
// SQLite pool made for it. Boards per minute on 32 ports of simulated boards beside one
// port's, measured the same way; what 32 ports cost while they wait for boards; and how much
// later the other ports answer while one port takes console text as fast as its
// pseudo-terminal carries it.

#include <QCoreApplication>
#include <QString>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "devsim_process.h"
#include "flood_writer.h"
#include "pool/address_pool.h"
#include "pool_store.h"
#include "process_usage.h"
#include "pty_device.h"
#include "result_table.h"
#include "station_process.h"
#include "tools/pool/line_report.h"

namespace pelorus::bench {
namespace {

using Clock = PtyDevice::Clock;
using std::chrono::milliseconds;

constexpr int kRackPorts = 32;
constexpr Mac48 kFirst = 0x001A2B000000ULL;
constexpr std::chrono::seconds kStartTimeout{30};

// Throughput: boards without delays of their own take the dialogue's waits, about 1.8 s.
constexpr int kBoards = 12;
constexpr std::chrono::seconds kPerBoardTimeout{15};
constexpr double kGoalShare = 0.95;

// Idle.
constexpr std::chrono::seconds kSettle{1};
constexpr std::chrono::seconds kIdle{20};
constexpr double kGoalIdlePercent = 1.0;
constexpr double kGoalBaseMB = 50;
constexpr double kGoalPerPortMB = 1;

// Flood: CODE lines on a few ports, the dialogue's rest after each answer with room to spare.
constexpr int kMeasuredPorts = 4;
constexpr int kWarmUpCodes = 10;
constexpr int kRounds = 6;
constexpr int kCodesPerRound = 25;
constexpr char kCodeLine[] = "Hit CODE to stop autoboot\r\n";
constexpr milliseconds kRestAfterCode{130};
constexpr milliseconds kAnswerTimeout{3000};
constexpr double kGoalFloodMs = 1.0;

double MegaBytes(long kib) {
  return static_cast<double>(kib) * 1024.0 / 1e6;
}

// A store of its own for one station, with the pool "rack" of 65,536 addresses.
std::unique_ptr<testing::PoolStore> MakePool() {
  auto store = std::make_unique<testing::PoolStore>("sqlite");
  std::string error = store->error();
  auto pool = pool::AddressPool::Open(store->location(), true, &error);
  if (!pool || !pool->Create("rack", kFirst, kFirst + 0xFFFF, &error)) {
    PrintDetail("rack: " + error);
    return nullptr;
  }
  return store;
}

std::vector<std::string> StationOptions(const testing::PoolStore& store, const char* prefix) {
  return {"--pool", store.location(), "--pool-name", "rack", "--station-prefix", prefix};
}

// A field of an event line; the benchmark's values hold no quotes.
std::string FieldOf(const std::string& json, const std::string& name) {
  const std::string key = "\"" + name + "\":\"";
  const auto at = json.find(key);
  if (at == std::string::npos) {
    return {};
  }
  const auto from = at + key.size();
  return json.substr(from, json.find('"', from) - from);
}

struct Throughput {
  bool ok = false;
  double per_minute = 0;  // the station's, over the window
  double slowest_port = 0;
  double window_s = 0;
  int ports = 0;  // with verified boards
  int verified = 0;
  int distinct = 0;
  long peak_rss_kib = -1;  // the station's, at the end
};

// The boards a port had finished at t, the one under way counted by the share of its time
// gone: its boards' ended_at in order, t from the first to the last.
double FinishedBy(const std::vector<double>& ended, double t) {
  const auto next = std::upper_bound(ended.begin(), ended.end(), t);
  if (next == ended.end()) {
    return static_cast<double>(ended.size() - 1);
  }
  const auto last = next - 1;
  return static_cast<double>(last - ended.begin()) + (t - *last) / (*next - *last);
}

// The station's verified boards per minute, from its events. The window runs from the last
// port's first verified board to the first port's last, so that every port ran throughout it,
// its first board (the port's opening) left out; in it, each port's boards are counted with
// the share of the board under way at either end, so that boards of many ports that end
// together count as they do for one port, and a port that waited for the others counts for
// what it did meanwhile.
void Count(const std::vector<std::string>& events, Throughput* run) {
  std::map<std::string, std::vector<double>> ended;
  std::set<std::string> addresses;
  for (const std::string& event : events) {
    if (FieldOf(event, "outcome") == "verified") {
      ended[FieldOf(event, "port")].push_back(
          static_cast<double>(pool::ParseUtc(FieldOf(event, "ended_at")).value_or(0)));
      addresses.insert(FieldOf(event, "address"));
      ++run->verified;
    }
  }
  double from = 0;
  double to = 1e300;
  for (auto& [port, when] : ended) {
    std::sort(when.begin(), when.end());
    from = std::max(from, when.front());
    to = std::min(to, when.back());
  }
  run->window_s = ended.empty() ? 0 : (to - from) / 1000;
  run->slowest_port = ended.empty() ? 0 : 1e300;
  for (const auto& [port, when] : ended) {
    const double rate = run->window_s > 0
                            ? (FinishedBy(when, to) - FinishedBy(when, from)) * 60 / run->window_s
                            : 0;
    run->per_minute += rate;
    run->slowest_port = std::min(run->slowest_port, rate);
  }
  run->ports = static_cast<int>(ended.size());
  run->distinct = static_cast<int>(addresses.size());
}

// ports simulated benches of kBoards boards each on one station, without delays of their own.
Throughput RunBoards(int ports) {
  Throughput run;
  const auto store = MakePool();
  if (!store) {
    return run;
  }
  std::vector<std::unique_ptr<DevsimProcess>> benches;
  std::vector<std::string> options = StationOptions(*store, "rack");
  for (int k = 1; k <= ports; ++k) {
    benches.push_back(std::make_unique<DevsimProcess>());
    if (!benches.back()->Start({"--wait-open", "--no-delays", "--interrupt-wait", "forever",
                                "--any-address", "--devices", QString::number(kBoards), "--quiet",
                                "--seed", QString::number(k), "--serial-base",
                                QString::number(k * 10000)})) {
      return run;
    }
    options.insert(options.end(), {"--port", "P" + std::to_string(k) + "=" +
                                                 benches.back()->link().toStdString()});
  }
  StationProcess station;
  if (!station.Start(options)) {
    return run;
  }
  // The simulators end by themselves after their last board, each having checked that it was
  // written an address no earlier board of its own holds, and read back.
  const Clock::time_point deadline = Clock::now() + kPerBoardTimeout * kBoards;
  bool benches_ok = true;
  for (auto& bench : benches) {
    const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
    bench->process().waitForFinished(static_cast<int>(std::max<long long>(left, 1)));
    benches_ok = bench->Stop() == 0 && benches_ok;
  }
  run.peak_rss_kib = ProcessUsage::Of(station.pid()).peak_rss_kib;
  const int status = station.Stop();

  Count(station.Events(), &run);
  run.ok = benches_ok && status == 0 && run.ports == ports && run.verified == ports * kBoards &&
           run.distinct == run.verified && run.window_s > 0;
  PrintDetail(Format(
      "rack: %d port%s, %d boards verified, %d addresses; %.1f/min over %.1f s (slowest port "
      "%.1f/min), station peak %.1f MB%s",
      ports, ports == 1 ? "" : "s", run.verified, run.distinct, run.per_minute, run.window_s,
      run.slowest_port, MegaBytes(run.peak_rss_kib),
      run.ok ? ""
             : Format(" (benches %s, station exit %d)", benches_ok ? "fine" : "failed", status)
                   .c_str()));
  return run;
}

bool Throughputs(long* busy_peak_kib) {
  const Throughput one = RunBoards(1);
  const Throughput rack = one.ok ? RunBoards(kRackPorts) : Throughput{};
  *busy_peak_kib = rack.peak_rss_kib;
  const double ideal = kRackPorts * one.per_minute;
  const bool ok = one.ok && rack.ok;
  PrintRow(Format("Rack: boards per minute, %d ports against 1, one SQLite pool", kRackPorts),
           Format("≥ %.2f × %d × 1 port", kGoalShare, kRackPorts),
           ok ? Format("1 port %.1f/min, %d ports %.1f/min (%.1f %% of %d × 1 port; slowest port "
                       "%.1f/min), %d boards, %d addresses",
                       one.per_minute, kRackPorts, rack.per_minute, 100 * rack.per_minute / ideal,
                       kRackPorts, rack.slowest_port, rack.verified, rack.distinct)
              : "did not finish",
           ok ? Verdict(rack.per_minute >= kGoalShare * ideal) : "FAILED");
  return ok;
}

// Ports open on devices of the benchmark's own that never say a word: the station's CPU over
// kIdle, and its resident set then and at its peak, and at the peak of a rack with boards.
bool Idle(long busy_peak_kib) {
  const auto store = MakePool();
  if (!store) {
    return false;
  }
  std::vector<std::unique_ptr<PtyDevice>> devices;
  std::vector<std::string> options = StationOptions(*store, "idle");
  for (int k = 1; k <= kRackPorts; ++k) {
    devices.push_back(std::make_unique<PtyDevice>());
    options.insert(options.end(),
                   {"--port", "P" + std::to_string(k) + "=" + devices.back()->path()});
  }
  StationProcess station;
  if (!devices.back()->ok() || !station.Start(options) ||
      !station.WaitForLog("waiting for a board on", kRackPorts, kStartTimeout)) {
    PrintDetail("idle: the station did not open every port");
    return false;
  }
  std::this_thread::sleep_for(kSettle);
  const std::size_t lines = station.Log().size();
  const ProcessUsage before = ProcessUsage::Of(station.pid());
  const Clock::time_point start = Clock::now();
  std::this_thread::sleep_for(kIdle);
  const ProcessUsage after = ProcessUsage::Of(station.pid());
  const double wall = std::chrono::duration<double>(Clock::now() - start).count();
  // A port that gave up its device, or a run that ended, would have said so.
  const std::size_t news = station.Log().size() - lines;
  const bool quiet = news == 0 && after.cpu_seconds >= 0;
  station.Stop();

  const double percent = 100.0 * (after.cpu_seconds - before.cpu_seconds) / wall;
  PrintDetail(Format(
      "idle: %.3f ms CPU in %.2f s, %.2f wake-ups/s, %zu log lines meanwhile",
      1000 * (after.cpu_seconds - before.cpu_seconds), wall,
      static_cast<double>(after.voluntary_switches - before.voluntary_switches) / wall, news));
  PrintRow(Format("Rack: idle CPU, %d ports open and silent (%lld s)", kRackPorts,
                  static_cast<long long>(kIdle.count())),
           "≤ 1 % of one core", Format("%.3f %%", percent),
           quiet ? Verdict(percent <= kGoalIdlePercent) : "FAILED");
  const double goal_mb = kGoalBaseMB + kGoalPerPortMB * kRackPorts;
  const double worst_mb = MegaBytes(std::max(after.peak_rss_kib, busy_peak_kib));
  PrintRow(
      Format("Rack: resident set, %d ports", kRackPorts),
      Format("≤ %.0f MB (50 MB + 1 MB per port)", goal_mb),
      Format("idle %.1f MB (peak %.1f MB); with boards, peak %.1f MB", MegaBytes(after.rss_kib),
             MegaBytes(after.peak_rss_kib), MegaBytes(busy_peak_kib)),
      quiet && busy_peak_kib > 0 ? Verdict(worst_mb <= goal_mb) : "FAILED");
  return quiet;
}

struct Answers {
  std::vector<double> ms;  // from the CODE line in the port to the first byte of the answer
  int missing = 0;
  int wrong = 0;  // not the interrupt byte alone

  void Add(const Answers& more) {
    ms.insert(ms.end(), more.ms.begin(), more.ms.end());
    missing += more.missing;
    wrong += more.wrong;
  }
};

// One port's board stopped at its boot again and again.
void PlayCodes(PtyDevice& device, int count, Answers& answers) {
  for (int i = 0; i < count; ++i) {
    std::string answer;
    const Clock::time_point cr = device.Send(kCodeLine);
    const Clock::time_point first = device.WaitForBytes(cr + kAnswerTimeout, &answer);
    if (cr == Clock::time_point{} || first == Clock::time_point{}) {
      ++answers.missing;
      continue;
    }
    answers.ms.push_back(std::chrono::duration<double, std::milli>(first - cr).count());
    std::string extra;
    device.Collect(first + kRestAfterCode, static_cast<std::size_t>(-1), &extra);
    if (answer != "\x03" || !extra.empty()) {
      ++answers.wrong;
    }
  }
}

// Every measured port at once, count CODE lines each; the answers together.
Answers PlayPorts(std::vector<std::unique_ptr<PtyDevice>>& ports, int count) {
  std::vector<Answers> each(ports.size());
  std::vector<std::thread> players;
  for (std::size_t k = 0; k < ports.size(); ++k) {
    players.emplace_back([&, k] { PlayCodes(*ports[k], count, each[k]); });
  }
  Answers all;
  for (std::size_t k = 0; k < ports.size(); ++k) {
    players[k].join();
    all.Add(each[k]);
  }
  return all;
}

// Nearest-rank percentile of sorted values.
double Percentile(const std::vector<double>& sorted, double p) {
  if (sorted.empty()) {
    return 0;
  }
  const auto rank = static_cast<std::size_t>(std::ceil(p / 100.0 * sorted.size()));
  return sorted[std::max<std::size_t>(rank, 1) - 1];
}

void Describe(const char* name, const Answers& answers) {
  PrintDetail(
      Format("flood: %-7s the flood: n=%zu  p50 %.3f ms  p99 %.3f ms  max %.3f ms, "
             "%d unanswered, %d answered wrongly",
             name, answers.ms.size(), Percentile(answers.ms, 50), Percentile(answers.ms, 99),
             answers.ms.empty() ? 0 : answers.ms.back(), answers.missing, answers.wrong));
}

// kMeasuredPorts ports answering CODE lines, and one more whose device is silent and floods
// by turns: the answers' latency without the flood and with it, on one station, the two taken
// in alternate rounds so that what else the machine does weighs on both alike.
bool FloodIsolation() {
  const auto store = MakePool();
  if (!store) {
    return false;
  }
  PtyDevice flooding;
  std::vector<std::unique_ptr<PtyDevice>> measured;
  std::vector<std::string> options = StationOptions(*store, "flood");
  options.insert(options.end(), {"--port", "F=" + flooding.path()});
  for (int k = 1; k <= kMeasuredPorts; ++k) {
    measured.push_back(std::make_unique<PtyDevice>());
    options.insert(options.end(),
                   {"--port", "M" + std::to_string(k) + "=" + measured.back()->path()});
  }
  StationProcess station;
  if (!flooding.ok() || !measured.back()->ok() || !station.Start(options) ||
      !station.WaitForLog("waiting for a board on", kMeasuredPorts + 1, kStartTimeout)) {
    PrintDetail("flood: the station did not open every port");
    return false;
  }
  // A first round that is not counted: the first answers also pay for what runs only once.
  Answers quiet = PlayPorts(measured, kWarmUpCodes);
  quiet.ms.clear();
  Answers loud;
  FloodWriter flooder(flooding);
  for (int round = 0; round < kRounds; ++round) {
    quiet.Add(PlayPorts(measured, kCodesPerRound));
    flooder.Start();
    loud.Add(PlayPorts(measured, kCodesPerRound));
    flooder.Stop();
  }
  const int status = station.Stop();
  std::sort(quiet.ms.begin(), quiet.ms.end());
  std::sort(loud.ms.begin(), loud.ms.end());

  Describe("without", quiet);
  Describe("with", loud);
  const double rate = flooder.MBPerSecond();
  PrintDetail(Format("flood: %.1f MB/s into the flooding port while it flooded", rate));
  const double p99_quiet = Percentile(quiet.ms, 99);
  const double p99_loud = Percentile(loud.ms, 99);
  const bool sound = quiet.missing == 0 && quiet.wrong == 0 && loud.missing == 0 &&
                     loud.wrong == 0 && rate > 0 && status == 0;
  PrintRow(Format("Rack: CODE answered on %d ports while a fifth floods, p99 with − without",
                  kMeasuredPorts),
           "≤ 1 ms",
           Format("%+.2f ms: p99 %.2f ms with the flood (%.0f MB/s), %.2f ms without; p50 %.2f / "
                  "%.2f ms (%zu CODE lines each)",
                  p99_loud - p99_quiet, p99_loud, rate, p99_quiet, Percentile(loud.ms, 50),
                  Percentile(quiet.ms, 50), loud.ms.size()),
           sound ? Verdict(p99_loud - p99_quiet <= kGoalFloodMs) : "FAILED");
  return sound;
}

}  // namespace
}  // namespace pelorus::bench

int main(int argc, char** argv) {
  // For the simulators' processes.
  QCoreApplication application(argc, argv);
  long busy_peak_kib = -1;
  const bool throughput = pelorus::bench::Throughputs(&busy_peak_kib);
  const bool idle = pelorus::bench::Idle(busy_peak_kib);
  const bool flood = pelorus::bench::FloodIsolation();
  return throughput && idle && flood ? 0 : 1;
}
