// Devices per minute on a line: one window, then four windows side by side on four simulated
// ports, all drawing their addresses from one SQLite pool, each window a process of its own as
// on a real line. Devices without delays of their own, every banner closed as it shows. The
// benchmark plays the windows too: run with --station-window LOCATION POOL STATION LINK it is
// one window that starts its run and closes every banner itself.

#include <QApplication>
#include <QCoreApplication>
#include <QProcess>
#include <QPushButton>
#include <QTest>
#include <chrono>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "devsim_process.h"
#include "event_wait.h"
#include "modal_closer.h"
#include "pool/address_pool.h"
#include "pool_store.h"
#include "result_table.h"
#include "tools/pool/line_report.h"
#include "ui/pelorus_dlg.h"
#include "window_driver.h"

namespace pelorus::bench {
namespace {

using pool::AddressPool;
using pool::AddressRecord;

constexpr int kDevices = 11;
constexpr double kGoalRatio = 3.6;
constexpr std::chrono::seconds kTimeout{120};
constexpr Mac48 kFirst = 0x001A2B000000ULL;

int RunStationWindow(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication application(argc, argv);
  qputenv("PELORUS_COM1", argv[5]);
  std::string error;
  auto station = RunStation::Open({argv[2], argv[3], argv[4], nullptr}, &error);
  if (!station) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 2;
  }
  CPELORUSDlg window(std::move(station));
  window.show();
  ModalCloser closer;
  QTimer::singleShot(0, [&] {
    window.findChild<QPushButton*>(QStringLiteral("IDC_START"))->click();
    if (!QTest::qWaitFor([&] { return window.IsPortOpen(); }, 10000)) {
      QCoreApplication::exit(3);
    }
  });
  return application.exec();
}

struct LineRun {
  bool ok = false;
  double per_minute = 0;  // all windows together
  int verified = 0;
  int distinct = 0;
};

// n windows on n devices of kDevices each, one pool: devices per minute over the line, each
// window counted from its first verified device to its last.
LineRun RunLine(int windows, const std::string& location) {
  LineRun run;
  std::string error;
  auto pool = AddressPool::Open(location, true, &error);
  const std::string name = "line" + std::to_string(windows);
  const Mac48 first = kFirst + static_cast<Mac48>(windows) * 0x10000;
  if (!pool || !pool->Create(name, first, first + 0xFFFF, &error)) {
    PrintDetail("line: " + error);
    return run;
  }
  std::vector<std::unique_ptr<DevsimProcess>> devices;
  std::vector<std::unique_ptr<QProcess>> stations;
  for (int w = 0; w < windows; ++w) {
    devices.push_back(std::make_unique<DevsimProcess>());
    if (!devices.back()->Start({"--wait-open", "--no-delays", "--interrupt-wait", "forever",
                                "--any-address", "--devices", QString::number(kDevices),
                                "--quiet"})) {
      return run;
    }
  }
  for (int w = 0; w < windows; ++w) {
    stations.push_back(std::make_unique<QProcess>());
    stations.back()->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    stations.back()->start(
        QCoreApplication::applicationFilePath(),
        {"--station-window", QString::fromStdString(location), QString::fromStdString(name),
         QStringLiteral("station%1").arg(w), devices[w]->link()});
  }
  // The simulators end by themselves after their last device.
  for (auto& device : devices) {
    device->process().waitForFinished(static_cast<int>(kTimeout.count() * 1000));
    run.ok = device->Stop() == 0;
  }
  for (auto& station : stations) {
    station->kill();
    station->waitForFinished();
  }
  std::map<std::string, std::vector<double>> times;
  std::set<Mac48> addresses;
  pool->Export(
      name,
      [&](const AddressRecord& r) {
        if (r.state == pool::AddressState::kVerified) {
          times[r.station].push_back(
              static_cast<double>(pool::ParseUtc(r.verified_at).value_or(0)));
          addresses.insert(r.address);
          ++run.verified;
        }
      },
      &error);
  for (auto& [station, when] : times) {
    std::sort(when.begin(), when.end());
    if (when.size() > 1) {
      run.per_minute +=
          60000.0 * static_cast<double>(when.size() - 1) / (when.back() - when.front());
    }
  }
  run.distinct = static_cast<int>(addresses.size());
  run.ok = run.ok && run.verified == windows * kDevices && run.distinct == run.verified;
  return run;
}

int Run() {
  const testing::PoolStore store("sqlite");
  const LineRun one = RunLine(1, store.location());
  const LineRun four = RunLine(4, store.location());
  PrintDetail(
      Format("line: 1 window %.1f/min (%d devices), 4 windows %.1f/min (%d devices, %d "
             "distinct addresses)",
             one.per_minute, one.verified, four.per_minute, four.verified, four.distinct));
  const double ratio = one.per_minute > 0 ? four.per_minute / one.per_minute : 0;
  const bool sound = one.ok && four.ok;
  PrintRow(
      "Line: devices per minute, 1 and 4 windows on one SQLite pool",
      "4 windows ≥ 3.6 × 1, no address twice",
      Format("%.1f/min and %.1f/min (×%.2f), %d devices, %d addresses", one.per_minute,
             four.per_minute, ratio, one.verified + four.verified, one.distinct + four.distinct),
      sound ? Verdict(ratio >= kGoalRatio) : "FAILED");
  return sound ? 0 : 1;
}

}  // namespace
}  // namespace pelorus::bench

int main(int argc, char** argv) {
  if (argc == 6 && std::string(argv[1]) == "--station-window") {
    return pelorus::bench::RunStationWindow(argc, argv);
  }
  return pelorus::bench::WindowDriver::Main(argc, argv, pelorus::bench::Run);
}
