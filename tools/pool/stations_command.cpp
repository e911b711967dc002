#include "tools/pool/stations_command.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "tools/pool/json_text.h"
#include "tools/pool/line_report.h"
#include "tools/pool/pool_choice.h"
#include "tools/pool/pool_report.h"

namespace pelorus::pool {
namespace {

// The heartbeat's age in milliseconds at now_ms; 0 for a heartbeat ahead of this host's clock
// (the store's clock is another host's), nullopt for one that cannot be read.
std::optional<std::int64_t> AgeMs(const StationState& state, std::int64_t now_ms) {
  const auto at = ParseUtc(state.heartbeat_at);
  return at ? std::optional(std::max<std::int64_t>(now_ms - *at, 0)) : std::nullopt;
}

void WriteText(std::ostream& out, const std::vector<StationState>& states, std::int64_t now_ms) {
  std::vector<std::vector<std::string>> rows = {
      {"station", "activity", "since", "heartbeat", "holder"}};
  for (const StationState& s : states) {
    const auto age = AgeMs(s, now_ms);
    rows.push_back(
        {s.station, ActivityText(s.activity) + (s.detail.empty() ? "" : " (" + s.detail + ")"),
         s.since, age ? std::to_string(*age / 1000) + " s ago" : s.heartbeat_at, s.holder});
  }
  WriteColumns(out, rows);
}

void WriteJson(std::ostream& out, const std::vector<StationState>& states, std::int64_t now_ms) {
  for (const StationState& s : states) {
    const auto age = AgeMs(s, now_ms);
    char seconds[32] = "null";
    if (age) {
      std::snprintf(seconds, sizeof seconds, "%lld.%03lld", static_cast<long long>(*age / 1000),
                    static_cast<long long>(*age % 1000));
    }
    out << "{\"station\":" << JsonText(s.station)
        << ",\"activity\":" << JsonText(ActivityText(s.activity))
        << ",\"detail\":" << JsonText(s.detail) << ",\"since\":" << JsonText(s.since)
        << ",\"heartbeat_at\":" << JsonText(s.heartbeat_at) << ",\"heartbeat_age_s\":" << seconds
        << ",\"holder\":" << JsonText(s.holder) << "}\n";
  }
}

}  // namespace

bool StationsStep(const Request& request) {
  std::string error;
  auto pool = AddressPool::Open(request.location, false, &error);
  std::string name;
  std::vector<StationState> states;
  if (!pool ||
      PoolOfStore(*pool, request.name_given ? request.name : "", &name, &error) != Outcome::kDone ||
      !pool->StationStates(name, &states, &error)) {
    return Fail(error);
  }
  const std::int64_t now_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  std::chrono::system_clock::now().time_since_epoch())
                                  .count();
  if (request.json) {
    WriteJson(std::cout, states, now_ms);
  } else {
    WriteText(std::cout, states, now_ms);
  }
  std::cout.flush();
  return std::cout.good() || Fail("cannot write the states to standard output");
}

}  // namespace pelorus::pool
