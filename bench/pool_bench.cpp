// The address pool: what one device's three steps (lease, written, verified) cost on each
// store, and how many addresses eight stations take through them per second at once.
// Usage: pelorus-bench-pool [sqlite|postgres]... (default both; the PostgreSQL part needs the
// server's address in PGHOST/PGPORT, as bench/run.sh gives it through pg_virtualenv)

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <string>
#include <vector>

#include "pool/address_pool.h"
#include "pool_store.h"
#include "result_table.h"

namespace pelorus::bench {
namespace {

using Clock = std::chrono::steady_clock;
using pool::AddressPool;

constexpr int kCycles = 1000;
constexpr int kStations = 8;
constexpr int kCyclesPerStation = 250;
constexpr Mac48 kFirst = 0x001A2B000000ULL;
constexpr Mac48 kLast = 0x001A2BFFFFFFULL;

struct Store {
  const char* name;
  double goal_p99_ms;
  std::string location;
};

double Percentile(std::vector<double> sorted, double p) {
  std::sort(sorted.begin(), sorted.end());
  const auto rank = static_cast<std::size_t>(std::ceil(p / 100.0 * sorted.size()));
  return sorted[std::max<std::size_t>(rank, 1) - 1];
}

bool Cycle(AddressPool& pool, const std::string& station, std::string* error) {
  Mac48 address = 0;
  return pool.Lease(AddressPool::kDefaultName, station, &address, error) &&
         pool.MarkWritten(address, station, "COM1", error) &&
         pool.MarkVerified(address, station, FormatMac48(address, ' '), error);
}

double Ms(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

bool Measure(const Store& store) {
  std::string error;
  auto pool = AddressPool::Open(store.location, true, &error);
  if (!pool || !pool->Create(AddressPool::kDefaultName, kFirst, kLast, &error)) {
    PrintDetail(std::string(store.name) + ": " + error);
    return false;
  }
  std::vector<double> cycles;
  for (int i = 0; i < kCycles; ++i) {
    const auto start = Clock::now();
    if (!Cycle(*pool, "bench", &error)) {
      PrintDetail(std::string(store.name) + ": " + error);
      return false;
    }
    cycles.push_back(Ms(Clock::now() - start));
  }
  const double p50 = Percentile(cycles, 50);
  const double p99 = Percentile(cycles, 99);
  PrintRow(Format("Pool: one lease → written → verified, %s", store.name),
           Format("p99 ≤ %.0f ms", store.goal_p99_ms),
           Format("p50 %.2f ms, p99 %.2f ms (%d cycles)", p50, p99, kCycles),
           Verdict(p99 <= store.goal_p99_ms));

  const auto start = Clock::now();
  std::vector<pid_t> children;
  for (int s = 0; s < kStations; ++s) {
    const pid_t child = fork();
    if (child == 0) {
      std::string why;
      auto own = AddressPool::Open(store.location, false, &why);
      for (int i = 0; own && i < kCyclesPerStation; ++i) {
        if (!Cycle(*own, "station" + std::to_string(s), &why)) {
          std::fprintf(stderr, "%s\n", why.c_str());
          _exit(1);
        }
      }
      _exit(own ? 0 : 1);
    }
    children.push_back(child);
  }
  bool all_done = true;
  for (const pid_t child : children) {
    int status = 0;
    all_done = waitpid(child, &status, 0) == child && WIFEXITED(status) &&
               WEXITSTATUS(status) == 0 && all_done;
  }
  const double seconds = Ms(Clock::now() - start) / 1000.0;
  const double rate = kStations * kCyclesPerStation / seconds;
  PrintRow(Format("Pool: leases per second, %d stations at once, %s", kStations, store.name),
           "none set",
           all_done ? Format("%.0f/s (%d addresses through all three steps in %.2f s)", rate,
                             kStations * kCyclesPerStation, seconds)
                    : std::string("a station failed"),
           all_done ? "info" : "FAILED");
  return all_done;
}

}  // namespace
}  // namespace pelorus::bench

int main(int argc, char** argv) {
  using namespace pelorus::bench;
  std::vector<std::string> kinds(argv + 1, argv + argc);
  if (kinds.empty()) {
    kinds = {"sqlite", "postgres"};
  }
  bool ok = true;
  for (const std::string& kind : kinds) {
    if (kind != "sqlite" && kind != "postgres") {
      std::fprintf(stderr, "usage: pelorus-bench-pool [sqlite|postgres]...\n");
      return 2;
    }
    const pelorus::testing::PoolStore store(kind);
    if (store.location().empty()) {
      PrintDetail(kind + ": " + store.error());
      ok = false;
      continue;
    }
    ok = Measure({kind == "sqlite" ? "SQLite" : "PostgreSQL (local)", kind == "sqlite" ? 5.0 : 10.0,
                  store.location()}) &&
         ok;
  }
  return ok ? 0 : 1;
}
