// The campaign's end: every station's journal put on record, the pool's record exported, and
// the oracle given the ledgers, the record, the rack's events and what the benches did.
#include <signal.h>
#include <unistd.h>

#include <fstream>

#include "campaign_driver.h"

namespace pelorus::campaign {

bool CampaignDriver::RunToEnd(const ChildProcess::Spec& spec, int ms, std::string* error) {
  ChildProcess child;
  if (!child.Start(spec, error)) {
    return false;
  }
  const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
  while (Clock::now() < deadline) {
    PollSet set;
    bool ended = false;
    set.Watch(child.ExitFd(), POLLIN, [&ended](short) { ended = true; });
    if (relay_) {
      relay_->Watch(&set);
    }
    set.Wait(std::chrono::milliseconds(100));
    if (ended) {
      break;
    }
  }
  pollfd fd{child.ExitFd(), POLLIN, 0};
  const int status = ::poll(&fd, 1, 0) > 0 ? child.Reap() : child.Stop(SIGKILL, 0);
  if (status != 0) {
    *error = spec.argv[0] + " failed (status " + std::to_string(status) + ")";
    return false;
  }
  return true;
}

bool CampaignDriver::ToolMentions(const std::vector<std::string>& args, const std::string& text) {
  ChildProcess::Spec spec;
  spec.argv = {config_.bin + "/pelorus-pool"};
  spec.argv.insert(spec.argv.end(), args.begin(), args.end());
  spec.stdout_file = config_.out + "/tool-help.txt";
  std::string error;
  if (!RunToEnd(spec, 10000, &error)) {
    return false;
  }
  std::ifstream help(spec.stdout_file);
  for (std::string line; std::getline(help, line);) {
    if (line.find(text) != std::string::npos) {
      return true;
    }
  }
  return false;
}

bool CampaignDriver::Judge(std::string* error) {
  const std::string log = config_.out + "/setup.log";
  if (!database_.empty()) {
    // Whatever cut the database off ends with the campaign.
    std::string ignored;
    RunToEnd({{"/usr/bin/psql", "-X", "-q", "-d", "postgres", "-c",
               "ALTER DATABASE " + database_ + " WITH ALLOW_CONNECTIONS true"},
              {},
              log,
              log},
             30000, &ignored);
  }
  // A mark in a journal is on record at its station's next step: every station takes one.
  // A server just restarted may still be starting: each gets a few tries.
  for (const auto& [location, station] : stations_) {
    ChildProcess::Spec replay;
    replay.argv = {config_.bin + "/pelorus-pool", "journal", location, "--station", station};
    replay.env["XDG_STATE_HOME"] = config_.out + "/state";
    replay.stdout_file = replay.stderr_file = config_.out + "/journals.log";
    std::string ignored;
    for (int attempt = 0; attempt < 5 && !RunToEnd(replay, 30000, &ignored); ++attempt) {
      ::sleep(2);
    }
  }
  const std::string record = config_.out + "/record.csv";
  bool exported = false;
  for (int attempt = 0; attempt < 5 && !exported; ++attempt) {
    exported = RunToEnd(
        {{config_.bin + "/pelorus-pool", "export", location_, "--csv", record}, {}, log, log},
        30000, error);
    if (!exported) {
      ::sleep(2);
    }
  }
  if (!exported || !oracle_->ReadRecord(record, error)) {
    return false;
  }
  for (const auto& bench : benches_) {
    if (!oracle_->ReadLedger(config_.out + "/ledger-" + bench->name + ".jsonl", error)) {
      return false;
    }
  }
  if (config_.rack_ports > 0 &&
      !oracle_->ReadRackEvents(config_.out + "/rack-events.jsonl", error)) {
    return false;
  }
  // What the benches did to their boards, from their reports.
  const std::map<std::string, std::string> bench_faults = {
      {"\"event\":\"bad_flash\"", "bad flash (write ignored)"},
      {"\"event\":\"pull\"", "board pulled after the write"},
      {"\"event\":\"unplug_after_write\"", "adapter unplugged after the write"},
      {"\"event\":\"readback_noise\"", "line noise in the read-back"},
      {"\"event\":\"prompt_timeout\"", "board restarted at a silent prompt"}};
  for (const auto& bench : benches_) {
    std::ifstream report(config_.out + "/bench-" + bench->name + ".jsonl");
    for (std::string line; std::getline(report, line);) {
      for (const auto& [event, kind] : bench_faults) {
        if (line.find(event) != std::string::npos) {
          ++faults_[bench->rack ? "rack port: " + kind : kind];
        }
      }
    }
  }
  if (scripts_->SharedLeases() > 0) {
    faults_["one address leased to both scripts"] = scripts_->SharedLeases();
  }
  if (!database_.empty()) {
    std::string ignored;
    RunToEnd({{"/usr/bin/psql", "-X", "-q", "-d", "postgres", "-c",
               "DROP DATABASE IF EXISTS " + database_ + " WITH (FORCE)"},
              {},
              log,
              log},
             30000, &ignored);
  }
  return true;
}

}  // namespace pelorus::campaign
