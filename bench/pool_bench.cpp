// The address pool at production scale: on each store, a pool of a whole 24-bit block, first
// empty, then with 10,000,000 addresses issued and verified (filled by SQL), and each figure
// of the full pool beside the empty one's: what one device's three steps (lease, written,
// verified) cost, how long Status and Check take in the process and as `pelorus-pool status`
// and `check`, how fast `pelorus-pool export` writes the record and in how much memory, how
// many addresses eight stations take through the three steps per second at once; then how
// long the schema 2 -> 3 upgrade of the full store takes.
// Usage: pelorus-bench-pool [sqlite|postgres]... (default both; the PostgreSQL part needs the
// server's address in PGHOST/PGPORT, as bench/run.sh gives it through pg_virtualenv)

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "pool/address_pool.h"
#include "pool_fill.h"
#include "pool_store.h"
#include "result_table.h"

namespace pelorus::bench {
namespace {

using Clock = std::chrono::steady_clock;
using pool::AddressPool;

constexpr int kCycles = 1000;
constexpr int kStations = 8;
constexpr int kCyclesPerStation = 250;
constexpr int kCommandRuns = 21;
constexpr long kFilled = 10'000'000;
constexpr Mac48 kFirst = 0x001A2B000000ULL;
constexpr Mac48 kLast = 0x001A2BFFFFFFULL;
constexpr double kRatio = 1.5;

struct Store {
  std::string kind;  // "sqlite" or "postgres"
  std::string name;  // as the table shows it
  double goal_p99_ms;
  const testing::PoolStore& store;
};

// What one pool gives, empty or full.
struct Figures {
  double p50_ms = 0;
  double p99_ms = 0;
  double status_ms = 0;  // median of kCommandRuns runs of the command
  double check_ms = 0;
  double status_call_ms = 0;  // median of kCommandRuns calls in this process
  double check_call_ms = 0;
  long exported = 0;  // rows
  double export_s = 0;
  long export_peak_kib = 0;
  double rate = 0;  // leases per second, eight stations at once
};

double Percentile(std::vector<double> sorted, double p) {
  std::sort(sorted.begin(), sorted.end());
  const auto rank = static_cast<std::size_t>(std::ceil(p / 100.0 * sorted.size()));
  return sorted[std::max<std::size_t>(rank, 1) - 1];
}

double Ms(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

// A step is durable when it returns, so it waits for the disk: whatever the host (or the fill
// before) left to write back would be measured too. Each figure starts once that is on disk.
void Settle() {
  sync();
}

bool Cycle(AddressPool& pool, const std::string& station, std::string* error) {
  pool::LeasedAddress leased;
  return pool.Lease(AddressPool::kDefaultName, station, &leased, error) &&
         pool.MarkWritten(leased, station, "COM1", error) &&
         pool.MarkVerified(leased, station, FormatMac48(leased.address, ' '), error);
}

// Runs pelorus-pool with args, its output going nowhere: whether it exited 0, its wall time
// and its peak resident set.
bool Command(const std::vector<std::string>& args, double* ms, long* peak_kib) {
  const auto start = Clock::now();
  const pid_t child = fork();
  if (child == 0) {
    dup2(open("/dev/null", O_WRONLY), STDOUT_FILENO);
    std::vector<char*> argv = {const_cast<char*>(PELORUS_POOL_PATH)};
    for (const std::string& arg : args) {
      argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  const bool waited = wait4(child, &status, 0, &usage) == child;
  *ms = Ms(Clock::now() - start);
  if (peak_kib != nullptr) {
    *peak_kib = usage.ru_maxrss;
  }
  return waited && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

double MedianCommandMs(const std::vector<std::string>& args) {
  std::vector<double> runs;
  for (int i = 0; i < kCommandRuns; ++i) {
    double ms = 0;
    if (!Command(args, &ms, nullptr)) {
      return -1;
    }
    runs.push_back(ms);
  }
  return Percentile(runs, 50);
}

// Eight processes, each a station taking kCyclesPerStation addresses through the steps.
double StationsRate(const std::string& location) {
  const auto start = Clock::now();
  std::vector<pid_t> children;
  for (int s = 0; s < kStations; ++s) {
    const pid_t child = fork();
    if (child == 0) {
      std::string why;
      auto own = AddressPool::Open(location, false, &why);
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
  return all_done ? kStations * kCyclesPerStation / (Ms(Clock::now() - start) / 1000.0) : 0;
}

bool Measure(const Store& store, const std::string& folder, Figures* figures) {
  const std::string& location = store.store.location();
  std::string error;
  Settle();
  auto pool = AddressPool::Open(location, false, &error);
  std::vector<double> cycles;
  for (int i = 0; pool && i < kCycles; ++i) {
    const auto start = Clock::now();
    if (!Cycle(*pool, "bench", &error)) {
      break;
    }
    cycles.push_back(Ms(Clock::now() - start));
  }
  if (cycles.size() != kCycles) {
    PrintDetail(store.name + ": " + error);
    return false;
  }
  figures->p50_ms = Percentile(cycles, 50);
  figures->p99_ms = Percentile(cycles, 99);
  pool::PoolStatus status;
  pool::AddressRecord record;
  std::vector<double> status_calls;
  std::vector<double> check_calls;
  for (int i = 0; i < kCommandRuns; ++i) {
    auto start = Clock::now();
    const bool read = pool->Status(AddressPool::kDefaultName, &status, &error);
    status_calls.push_back(Ms(Clock::now() - start));
    start = Clock::now();
    if (!read || !pool->Check(kFirst + kFilled / 2, &record, &error)) {
      PrintDetail(store.name + ": " + error);
      return false;
    }
    check_calls.push_back(Ms(Clock::now() - start));
  }
  figures->status_call_ms = Percentile(status_calls, 50);
  figures->check_call_ms = Percentile(check_calls, 50);
  pool.reset();
  Settle();
  figures->status_ms = MedianCommandMs({"status", location});
  figures->check_ms = MedianCommandMs({"check", location, FormatMac48(kFirst + kFilled / 2)});
  const std::string csv = folder + "/record.csv";
  const bool exported =
      Command({"export", location, "--csv", csv}, &figures->export_s, &figures->export_peak_kib);
  figures->export_s /= 1000.0;
  figures->exported = static_cast<long>(status.issued);
  std::remove(csv.c_str());
  Settle();
  figures->rate = StationsRate(location);
  if (figures->status_ms < 0 || figures->check_ms < 0 || !exported || figures->rate == 0) {
    PrintDetail(store.name + ": pelorus-pool status, check or export failed, or a station did");
    return false;
  }
  return true;
}

// kFilled addresses after the ones issued, each with its read-back as a device says it.
bool Fill(const Store& store) {
  return FillVerified(store.kind, store.store, kFilled,
                      store.kind == "sqlite"
                          ? "printf('1fd0000c: %012X', p.next_address + i)"
                          : "'1fd0000c: ' || lpad(upper(to_hex(p.next_address + i)), 12, '0')");
}

// Takes the full store back to schema 2 and times the upgrade through every later step; the
// counts must come out as they were.
bool TimeUpgrade(const Store& store, double* seconds, std::uint64_t* rows) {
  std::string error;
  pool::PoolStatus before;
  pool::PoolStatus after;
  auto pool = AddressPool::Open(store.store.location(), false, &error);
  if (!pool || !pool->Status(AddressPool::kDefaultName, &before, &error)) {
    PrintDetail(store.name + ": " + error);
    return false;
  }
  pool.reset();
  *rows = before.issued;
  if (!store.store.Sql("DROP INDEX pelorus_addresses_free; ALTER TABLE pelorus_pools DROP COLUMN "
                       "issued; ALTER TABLE pelorus_pools DROP COLUMN unconfirmed; ALTER TABLE "
                       "pelorus_pools DROP COLUMN verified; ALTER TABLE pelorus_pools DROP COLUMN "
                       "released; DROP TABLE pelorus_attempts; ALTER TABLE pelorus_addresses DROP "
                       "COLUMN lease_token; UPDATE pelorus_meta SET value = '2';")) {
    PrintDetail(store.name + ": cannot go back to schema 2: " + store.store.error());
    return false;
  }
  std::vector<std::string> steps;
  const auto start = Clock::now();
  const bool upgraded = AddressPool::Upgrade(store.store.location(), &steps, &error);
  *seconds = Ms(Clock::now() - start) / 1000.0;
  pool = AddressPool::Open(store.store.location(), false, &error);
  if (!upgraded || !pool || !pool->Status(AddressPool::kDefaultName, &after, &error)) {
    PrintDetail(store.name + ": " + error);
    return false;
  }
  if (after.issued != before.issued || after.verified != before.verified ||
      after.written != before.written || after.released != before.released) {
    PrintDetail(store.name + ": the upgrade counted other figures than the steps did");
    return false;
  }
  return true;
}

void PrintRows(const Store& store, const Figures& empty, const Figures& full) {
  const std::string at = ", " + store.name;
  const std::string full_pool = "pool of 2^24 with 10,000,000 issued";
  PrintRow("Pool: one lease → written → verified" + at, Format("p99 ≤ %.0f ms", store.goal_p99_ms),
           Format("p50 %.2f ms, p99 %.2f ms (%d cycles, empty pool of 2^24)", empty.p50_ms,
                  empty.p99_ms, kCycles),
           Verdict(empty.p99_ms <= store.goal_p99_ms));
  const double cycle_ratio = full.p99_ms / empty.p99_ms;
  PrintRow("Pool: one lease → written → verified, " + full_pool + at,
           Format("p99 ≤ %.0f ms and ≤ %.1f × empty", store.goal_p99_ms, kRatio),
           Format("p50 %.2f ms, p99 %.2f ms (empty: p50 %.2f ms, p99 %.2f ms; p99 ×%.2f)",
                  full.p50_ms, full.p99_ms, empty.p50_ms, empty.p99_ms, cycle_ratio),
           Verdict(full.p99_ms <= store.goal_p99_ms && cycle_ratio <= kRatio));
  // The pool's part of status and check, then the whole command as a script runs it: the
  // process, connecting (on PostgreSQL a new session, and its password exchange), the step.
  const auto row = [&](const std::string& figure, double full_status, double full_check,
                       double empty_status, double empty_check) {
    const double status_ratio = full_status / empty_status;
    const double check_ratio = full_check / empty_check;
    PrintRow(figure + full_pool + at, Format("≤ 20 ms and ≤ %.1f × empty", kRatio),
             Format("%.2f ms / %.2f ms, medians of %d (empty: %.2f ms / %.2f ms; ×%.2f / ×%.2f)",
                    full_status, full_check, kCommandRuns, empty_status, empty_check, status_ratio,
                    check_ratio),
             Verdict(full_status <= 20 && full_check <= 20 && status_ratio <= kRatio &&
                     check_ratio <= kRatio));
  };
  row("Pool: Status / Check in the process, ", full.status_call_ms, full.check_call_ms,
      empty.status_call_ms, empty.check_call_ms);
  row("Pool: pelorus-pool status / check, ", full.status_ms, full.check_ms, empty.status_ms,
      empty.check_ms);
  const double rows_per_s = full.exported / full.export_s;
  PrintRow("Pool: pelorus-pool export --csv, " + full_pool + at, "≥ 300,000 rows/s, peak ≤ 50 MB",
           Format("%.0f rows/s (%ld rows in %.1f s), peak %.1f MB (empty: %ld rows, peak %.1f MB)",
                  rows_per_s, full.exported, full.export_s, full.export_peak_kib * 1.024e-3,
                  empty.exported, empty.export_peak_kib * 1.024e-3),
           Verdict(rows_per_s >= 300000 && full.export_peak_kib * 1.024e-3 <= 50));
  PrintRow(
      Format("Pool: leases per second, %d stations at once", kStations) + at, "none set",
      Format("%.0f/s (%d addresses through all three steps in %.2f s, empty pool of 2^24)",
             empty.rate, kStations * kCyclesPerStation, kStations * kCyclesPerStation / empty.rate),
      "info");
  PrintRow(Format("Pool: leases per second, %d stations at once, ", kStations) + full_pool + at,
           Format("≥ empty / %.1f", kRatio),
           Format("%.0f/s (empty: %.0f/s; ×%.2f)", full.rate, empty.rate, full.rate / empty.rate),
           Verdict(full.rate * kRatio >= empty.rate));
}

bool Run(const Store& store) {
  char folder[] = "/tmp/pelorus-bench-pool-XXXXXX";
  if (mkdtemp(folder) == nullptr) {
    return false;
  }
  std::string error;
  auto made = AddressPool::Open(store.store.location(), true, &error);
  if (!made || !made->Create(AddressPool::kDefaultName, kFirst, kLast, &error)) {
    PrintDetail(store.name + ": " + error);
    return false;
  }
  made.reset();
  Figures empty;
  Figures full;
  double upgrade_s = 0;
  std::uint64_t upgraded_rows = 0;
  bool ok = Measure(store, folder, &empty);
  const auto start = Clock::now();
  ok = ok && Fill(store);
  Settle();
  const double fill_s = Ms(Clock::now() - start) / 1000.0;
  if (ok) {
    PrintDetail(Format("%s: %ld verified addresses filled in by SQL in %.0f s", store.name.c_str(),
                       kFilled, fill_s));
  } else {
    PrintDetail(store.name + ": the fill failed: " + store.store.error());
  }
  ok = ok && Measure(store, folder, &full);
  if (ok) {
    PrintRows(store, empty, full);
  }
  ok = ok && TimeUpgrade(store, &upgrade_s, &upgraded_rows);
  if (ok) {
    PrintRow(Format("Pool: upgrade from schema 2, %llu rows, ",
                    static_cast<unsigned long long>(upgraded_rows)) +
                 store.name,
             "< 60 s for 2,000,000 rows",
             Format("%.1f s (the fill before it: %.0f s)", upgrade_s, fill_s),
             Verdict(upgrade_s < 60));
  }
  rmdir(folder);
  return ok;
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
    ok = Run({kind, kind == "sqlite" ? "SQLite" : "PostgreSQL (local)",
              kind == "sqlite" ? 5.0 : 10.0, store}) &&
         ok;
  }
  return ok ? 0 : 1;
}
