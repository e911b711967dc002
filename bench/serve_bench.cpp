// pelorus-bench-serve [sqlite|postgres]...: the line's web view on a pool of a whole 24-bit
// block, on each store. From a verified mark on record to the page in headless Chromium (the
// station's tile showing one board more), p99 of 200 marks while four stations work; the server's
// CPU while 50 readers of the events watch four stations at work for 10 s; the page's load (the
// page, its files and the three JSON endpoints), median of 21, empty and with 10,000,000 addresses
// verified.
#include <httplib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/result_table.h"
#include "event_reader.h"
#include "node_browser.h"
#include "pool/address_pool.h"
#include "pool/station_state.h"
#include "pool_fill.h"
#include "pool_store.h"
#include "serve_process.h"

namespace pelorus::bench {
namespace {

using Clock = std::chrono::steady_clock;
using pool::AddressPool;

constexpr long kFilled = 10'000'000;
constexpr int kMarks = 200;
constexpr int kReaders = 50;
constexpr int kStations = 4;
double Ms(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

double Percentile(std::vector<double> values, double p) {
  std::sort(values.begin(), values.end());
  const auto rank = static_cast<std::size_t>(std::ceil(p / 100.0 * values.size()));
  return values[std::max<std::size_t>(rank, 1) - 1];
}

// The process's CPU time so far, in seconds (utime + stime from /proc).
double CpuSeconds(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string field;
  double ticks = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14 || i == 15) {
      ticks += std::stod(field);
    }
  }
  return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Headless Chromium on the line's page (browser/count_boards.js), telling the wall clock at
// which a station's tile showed each count of boards this hour.
class BrowserWatch {
 public:
  BrowserWatch(int port, const std::string& station)
      : node_(PELORUS_BROWSER_DIR, PELORUS_BROWSER_SCRIPT,
              {"http://127.0.0.1:" + std::to_string(port) + "/", station}) {
    std::string line;
    error_ = node_.error();
    if (error_.empty() && (!node_.Line(&line, std::chrono::seconds(60)) || line != "ready")) {
      error_ = "the browser never showed the page (" + line + ")";
    }
  }

  const std::string& error() const { return error_; }

  // When the tile showed count boards (or more), in milliseconds since the epoch; -1 when it
  // did not within wait.
  double Shown(std::uint64_t count, std::chrono::seconds wait) {
    const auto until = Clock::now() + wait;
    std::string line;
    while (node_.Line(
        &line, std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()))) {
      std::istringstream fields(line);
      std::uint64_t shown = 0;
      double at = 0;
      if (fields >> shown >> at && shown >= count) {
        return at;
      }
    }
    return -1;
  }

 private:
  testing::NodeBrowser node_;
  std::string error_;
};

double WallMs() {
  return std::chrono::duration<double, std::milli>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

bool Board(AddressPool& pool, const std::string& station, std::string* error) {
  pool::LeasedAddress leased;
  return pool.Lease(AddressPool::kDefaultName, station, &leased, error) &&
         pool.MarkWritten(leased, station, "COM1", error) &&
         pool.MarkVerified(leased, station, FormatMac48(leased.address, ' '), error);
}

// The page's load as a browser makes it: milliseconds, or -1 when an answer was not 200.
double PageLoad(httplib::Client& client) {
  const auto start = Clock::now();
  for (const char* path :
       {"/", "/page.js", "/page.css", "/api/pool", "/api/stations", "/api/attempts?after=0"}) {
    const auto res = client.Get(path);
    if (!res || res->status != 200) {
      return -1;
    }
  }
  return Ms(Clock::now() - start);
}

double MedianLoad(int port) {
  httplib::Client client("127.0.0.1", port);
  std::vector<double> loads;
  for (int i = 0; i < 21; ++i) {
    const double ms = PageLoad(client);
    if (ms < 0) {
      return -1;
    }
    loads.push_back(ms);
  }
  return Percentile(loads, 50);
}

bool Run(const std::string& kind) {
  const std::string name = kind == "sqlite" ? "SQLite" : "PostgreSQL (local)";
  const testing::PoolStore store(kind);
  std::string error;
  auto pool =
      store.location().empty() ? nullptr : AddressPool::Open(store.location(), true, &error);
  if (!pool || !pool->Create(AddressPool::kDefaultName, 0x020000000000, 0x020000FFFFFF, &error)) {
    PrintDetail(name + ": " + (store.location().empty() ? store.error() : error));
    return false;
  }
  auto serve = std::make_unique<testing::ServeProcess>(store.location());
  if (serve->port() <= 0) {
    PrintDetail(name + ": pelorus-pool serve did not start: " + serve->err());
    return false;
  }
  const double empty_load = MedianLoad(serve->port());

  // Four stations at work, one of them the one timed: each of its marks from the moment it is
  // on record until the page has read the stations again.
  std::atomic<bool> working{true};
  std::vector<std::thread> others;
  for (int s = 1; s < kStations; ++s) {
    others.emplace_back([&, s] {
      std::string why;
      auto own = AddressPool::Open(store.location(), false, &why);
      while (own && working && Board(*own, "station-" + std::to_string(s), &why)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
      }
    });
  }
  std::vector<double> to_page;
  {
    pool::StationState state;
    state.station = "station-0";
    state.activity = pool::StationActivity::kWaitingForBoard;
    state.since = pool::UtcNowText();
    const bool published = pool->PublishState(AddressPool::kDefaultName, state, &error);
    BrowserWatch browser(serve->port(), state.station);
    if (!published || !browser.error().empty()) {
      PrintDetail(name + ": " + (published ? browser.error() : error));
      working = false;
    }
    for (std::uint64_t i = 1; working && i <= static_cast<std::uint64_t>(kMarks); ++i) {
      pool::LeasedAddress leased;
      if (!pool->Lease(AddressPool::kDefaultName, "station-0", &leased, &error) ||
          !pool->MarkWritten(leased, "station-0", "COM1", &error) ||
          !pool->MarkVerified(leased, "station-0", "ok", &error)) {
        break;
      }
      const double marked = WallMs();
      const double shown = browser.Shown(i, std::chrono::seconds(10));
      if (shown < 0) {
        error = "the page did not show board " + std::to_string(i) + " within 10 s";
        break;
      }
      to_page.push_back(shown - marked);
    }
  }
  double cpu_share = -1;
  {
    std::vector<std::unique_ptr<testing::EventReader>> readers;
    for (int i = 0; i < kReaders; ++i) {
      readers.push_back(std::make_unique<testing::EventReader>(serve->port()));
    }
    for (auto& reader : readers) {
      reader->WaitFor("event: store");
    }
    const double before = CpuSeconds(serve->pid());
    const auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(10));
    cpu_share = (CpuSeconds(serve->pid()) - before) /
                std::chrono::duration<double>(Clock::now() - start).count() * 100;
  }
  working = false;
  for (auto& other : others) {
    other.join();
  }
  if (to_page.size() < static_cast<std::size_t>(kMarks)) {
    PrintDetail(name + ": a mark never reached the page: " + error);
    return false;
  }
  const double p99 = Percentile(to_page, 99);
  const double goal = kind == "sqlite" ? 600 : 300;
  PrintRow("Web view, " + name + ": verified mark to the page, p99 of " + std::to_string(kMarks) +
               " (4 stations at work)",
           Format("≤ %.0f ms", goal), Format("%.0f ms (p50 %.0f)", p99, Percentile(to_page, 50)),
           Verdict(p99 <= goal));
  PrintRow("Web view, " + name + ": server CPU with 50 readers of the events, 4 stations at work",
           "≤ 5 % of a core", Format("%.1f %%", cpu_share), Verdict(cpu_share <= 5));

  serve.reset();
  pool.reset();
  PrintDetail(name + ": filling 10,000,000 verified addresses ...");
  if (!FillVerified(kind, store, kFilled, "'ok'")) {
    PrintDetail(name + ": the fill failed: " + store.error());
    return false;
  }
  serve = std::make_unique<testing::ServeProcess>(store.location());
  const double full_load = serve->port() > 0 ? MedianLoad(serve->port()) : -1;
  if (empty_load < 0 || full_load < 0) {
    PrintDetail(name + ": the page did not load");
    return false;
  }
  PrintRow("Web view, " + name + ": the page's load with 10,000,000 records (empty)", "≤ 100 ms",
           Format("%.1f ms (%.1f ms)", full_load, empty_load), Verdict(full_load <= 100));
  return true;
}

}  // namespace
}  // namespace pelorus::bench

int main(int argc, char** argv) {
  std::vector<std::string> kinds(argv + 1, argv + argc);
  if (kinds.empty()) {
    kinds = {"sqlite", "postgres"};
  }
  bool ok = true;
  for (const std::string& kind : kinds) {
    if (kind != "sqlite" && kind != "postgres") {
      std::fprintf(stderr, "usage: pelorus-bench-serve [sqlite|postgres]...\n");
      return 2;
    }
    ok = pelorus::bench::Run(kind) && ok;
  }
  return ok ? 0 : 1;
}
