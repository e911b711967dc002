// pelorus-campaign: the fault campaign (see campaign_driver.h). Prints the boards, the faults
// by kind and the violations by rule with examples; exit status 0 only without violations,
// 1 with some, 2 when the campaign could not run. With --hold-store LOCATION it is only the
// campaign's hand on the store (see store_holder.h).
#include <signal.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <climits>
#include <cstdio>
#include <filesystem>
#include <map>

#include "campaign_driver.h"
#include "store_holder.h"

namespace {

std::string Directory(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

}  // namespace

int main(int argc, char** argv) {
  pelorus::campaign::CampaignConfig config;
  std::string hold_store;
  CLI::App app(
      "Runs real windows against simulated benches on one address pool, injects "
      "faults at seeded moments and checks that no address ended up in two boards.",
      "pelorus-campaign");
  app.add_option("--store", config.store, "sqlite or postgres (the server in PGHOST etc.)")
      ->check(CLI::IsMember({"sqlite", "postgres"}));
  app.add_option("--seed", config.seed, "seed of every choice (default 1)");
  app.add_option("--boards", config.boards, "stop after this many boards (default 100)")
      ->check(CLI::PositiveNumber);
  app.add_option("--seconds", config.seconds, "or after this long (default 60)")
      ->check(CLI::PositiveNumber);
  app.add_option("--windows", config.windows,
                 "benches, one window each (default 3); 0: the scripted station alone")
      ->check(CLI::Range(0, 5));
  app.add_option("--rack-ports", config.rack_ports,
                 "ports of the rack station beside the windows, one bench each (default 8); "
                 "0: no rack")
      ->check(CLI::Range(0, 16));
  app.add_option("--out", config.out, "folder for logs, ledgers, the record (required)");
  app.add_option("--bin", config.bin,
                 "folder with pelorus-pool, pelorus-devsim, pelorus-campaign-window, "
                 "pelorus-station (default: this program's)");
  app.add_option("--hold-store", hold_store, "only hold the store LOCATION on command")->group("");
  CLI11_PARSE(app, argc, argv);
  if (!hold_store.empty()) {
    return pelorus::campaign::HoldStore(hold_store);
  }
  if (config.out.empty()) {
    std::fprintf(stderr, "pelorus-campaign: --out is required\n");
    return 2;
  }
  // A child that is gone while a line is on its way to it must not end the campaign: its end
  // comes through its pidfd.
  ::signal(SIGPIPE, SIG_IGN);
  // A folder from an earlier run would mix its pool, ledgers and logs into this one's verdict.
  std::error_code unread;
  if (std::filesystem::exists(config.out) && !std::filesystem::is_empty(config.out, unread)) {
    std::fprintf(stderr, "pelorus-campaign: %s is not empty: give a new folder for the run\n",
                 config.out.c_str());
    return 2;
  }
  char self[PATH_MAX] = {};
  if (::readlink("/proc/self/exe", self, sizeof(self) - 1) <= 0) {
    std::fprintf(stderr, "pelorus-campaign: cannot find this program\n");
    return 2;
  }
  config.self = self;
  if (config.bin.empty()) {
    config.bin = Directory(config.self);
  }

  pelorus::campaign::CampaignDriver driver(config);
  std::string error;
  if (!driver.Run(&error)) {
    std::fprintf(stderr, "pelorus-campaign: %s\n", error.c_str());
    return 2;
  }
  const auto& oracle = driver.Oracle();
  const auto violations = oracle.Check();
  std::printf(
      "campaign %s seed %llu: %d boards, %d of the benches (%d times on a bench) and %d "
      "scripted, %d banners, %d verified, %.0f s\n",
      config.store.c_str(), static_cast<unsigned long long>(config.seed), oracle.Boards(),
      oracle.Boards() - oracle.ScriptedBoards(), driver.BoardVisits(), oracle.ScriptedBoards(),
      oracle.Banners(), oracle.Verified(), driver.Seconds());
  if (config.rack_ports > 0) {
    std::printf(
        "  rack   %d ports: %d boards verified by its events, %d of them through a journal\n",
        config.rack_ports, oracle.RackVerified(), oracle.RackJournaled());
  }
  int faults = 0;
  for (const auto& [kind, count] : driver.Faults()) {
    std::printf("  fault  %-75s %d\n", kind.c_str(), count);
    faults += count;
  }
  std::map<int, std::vector<std::string>> by_rule;
  for (const auto& v : violations) {
    by_rule[v.rule].push_back(v.example);
  }
  static const char* const kRules[] = {"",
                                       "an address held by two boards",
                                       "a board's address not on record as written",
                                       "verified or bannered address held by no board",
                                       "an address outside the pool",
                                       "an address read back, not on record as verified",
                                       "a window or the rack not gone within 5 s",
                                       "a window refused by a claim of its own process"};
  static_assert(sizeof(kRules) / sizeof(kRules[0]) ==
                pelorus::campaign::CampaignOracle::kRules + 1);
  for (int rule = 1; rule <= pelorus::campaign::CampaignOracle::kRules; ++rule) {
    const auto& examples = by_rule[rule];
    std::printf("  rule %d %-50s %zu violation(s)\n", rule, kRules[rule], examples.size());
    for (std::size_t i = 0; i < examples.size() && i < 3; ++i) {
      std::printf("         e.g. %s\n", examples[i].c_str());
    }
  }
  std::printf("TOTAL boards=%d faults=%d violations=%zu\n",
              oracle.Boards() - oracle.ScriptedBoards(), faults, violations.size());
  return violations.empty() ? 0 : 1;
}
