// The rack station beside the windows: one pelorus-station process on ports of its own, each
// with its own bench, on the windows' pool. It is killed (kill -9) or stopped (SIGTERM), the
// two in turn, at the next moment one of its benches reaches a seeded step: "prompt" (a written
// mark is under way), "write" (the address is in the board, its read-back not yet asked for) or
// "done" (the verified mark is due); then started again on the same ports under the same
// names, so that its ports' journals are replayed. A stop is timed as END is for a window.
#include <signal.h>

#include <fstream>

#include "campaign_driver.h"

namespace pelorus::campaign {
namespace {

constexpr const char* kRackKill = "rack station killed (kill -9) mid-board and started again";
constexpr const char* kRackStop = "rack station stopped (SIGTERM) and started again";
constexpr const char* kRackOwn = "rack station ended on its own";
constexpr const char* kMoments[] = {"prompt", "write", "done"};
constexpr auto kNoMomentAfter = std::chrono::seconds(8);
constexpr auto kRestartAfterExit = std::chrono::seconds(2);
constexpr auto kStopLimit = std::chrono::seconds(5);
constexpr auto kNoEndAfter = std::chrono::seconds(15);

}  // namespace

std::string CampaignDriver::RackStation(int port) const {
  return "rack/R" + std::to_string(port + 1);
}

void CampaignDriver::NoteRack(const std::string& line) const {
  std::ofstream(config_.out + "/rack.log", std::ios::app) << '[' << Now() << "] " << line << '\n';
}

void CampaignDriver::StartRack() {
  if (config_.rack_ports == 0 || rack_.process.Running() || ending_) {
    return;
  }
  ChildProcess::Spec spec;
  spec.argv = {config_.bin + "/pelorus-station",
               "--pool",
               location_,
               "--station-prefix",
               "rack",
               "--events",
               config_.out + "/rack-events.jsonl"};
  for (int k = 0; k < config_.rack_ports; ++k) {
    const Bench& bench = *benches_[rack_.first_bench + static_cast<std::size_t>(k)];
    spec.argv.insert(spec.argv.end(), {"--port", "R" + std::to_string(k + 1) + "=" + bench.link});
    stations_.insert({location_, RackStation(k)});
  }
  spec.env["XDG_STATE_HOME"] = config_.out + "/state";
  spec.stdout_file = spec.stderr_file = config_.out + "/rack.err";
  std::string error;
  if (!rack_.process.Start(spec, &error)) {
    NoteRack("not started: " + error);
    At(kRestartAfterExit, [this] { StartRack(); });
    return;
  }
  rack_.expected_exit = false;
  rack_.stopped = {};
  NoteRack("started, process " + std::to_string(rack_.process.Pid()));
}

// The first strike early, so that a short run has a kill and a stop.
void CampaignDriver::ScheduleRack(bool first) {
  if (config_.rack_ports == 0) {
    return;
  }
  At(first ? Between(4000, 8000) : Between(15000, 30000), [this] { ArmRack(); });
}

void CampaignDriver::ArmRack() {
  if (!rack_.process.Running() || rack_.stopped != Clock::time_point{}) {
    ScheduleRack(false);
    return;
  }
  rack_.armed = rack_.turn++ % 2 == 0 ? Rack::Strike::kKill : Rack::Strike::kStop;
  rack_.moment = kMoments[rng_() % (sizeof(kMoments) / sizeof(kMoments[0]))];
  const std::uint64_t generation = ++rack_.generation;
  // A rack whose ports see no board (the store out, every adapter away) is struck all the same.
  At(kNoMomentAfter, [this, generation] {
    if (rack_.generation == generation && rack_.armed != Rack::Strike::kNone) {
      StrikeRack("with no bench at its \"" + rack_.moment + "\"");
    }
  });
}

void CampaignDriver::RackBenchNews(std::size_t bench, const std::string& event) {
  if (rack_.armed == Rack::Strike::kNone || bench < rack_.first_bench || event != rack_.moment ||
      ending_) {
    return;
  }
  StrikeRack("at the \"" + event + "\" of port R" + std::to_string(bench - rack_.first_bench + 1));
}

void CampaignDriver::StrikeRack(const std::string& when) {
  const Rack::Strike strike = rack_.armed;
  rack_.armed = Rack::Strike::kNone;
  if (!rack_.process.Running() || rack_.stopped != Clock::time_point{}) {
    ScheduleRack(false);
    return;
  }
  if (strike == Rack::Strike::kStop) {
    ++faults_[kRackStop];
    StopRack("stopped " + when);
    return;
  }
  ++faults_[kRackKill];
  NoteRack("kill -9 " + when);
  rack_.expected_exit = true;
  NoteRack("EXIT " + std::to_string(rack_.process.Stop(SIGKILL, 1000)));
  At(Between(300, 2000), [this] {
    StartRack();
    ScheduleRack(false);
  });
}

void CampaignDriver::StopRack(const std::string& reason) {
  rack_.expected_exit = true;
  rack_.stopped = Clock::now();
  rack_.stop_reason = reason;
  NoteRack("SIGTERM (" + reason + ")");
  rack_.process.Signal(SIGTERM);
  At(kNoEndAfter, [this, stopped = rack_.stopped] {
    if (rack_.stopped != stopped || !rack_.process.Running()) {
      return;
    }
    oracle_->AddFinding(6, "the rack station was still there 15 s after SIGTERM (" +
                               rack_.stop_reason + "); killed");
    rack_.stopped = {};
    rack_.process.Signal(SIGKILL);
  });
}

void CampaignDriver::OnRackExit() {
  if (!rack_.process.Running()) {
    return;
  }
  const int status = rack_.process.Reap();
  NoteRack("EXIT " + std::to_string(status));
  if (rack_.stopped != Clock::time_point{}) {
    const double took = std::chrono::duration<double>(Clock::now() - rack_.stopped).count();
    rack_.stopped = {};
    if (took > std::chrono::duration<double>(kStopLimit).count()) {
      oracle_->AddFinding(6, "the rack station took " + std::to_string(took).substr(0, 4) +
                                 " s to end after SIGTERM (" + rack_.stop_reason + ")");
    }
  }
  if (ending_) {
    return;
  }
  if (rack_.expected_exit) {
    At(Between(300, 2000), [this] {
      StartRack();
      ScheduleRack(false);
    });
    return;
  }
  // The store out of reach when it starts ends it at once (status 1); it comes back as a
  // service manager would start it again.
  ++faults_[kRackOwn];
  At(kRestartAfterExit, [this] { StartRack(); });
}

}  // namespace pelorus::campaign
