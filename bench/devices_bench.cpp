// Devices per minute: a whole run against the simulated device with no delays of its own,
// the banner closed the moment it shows, set beside the floor that the dialogue's own waits
// put under every device.

#include <QProcess>
#include <chrono>
#include <vector>

#include "devsim_process.h"
#include "event_wait.h"
#include "modal_closer.h"
#include "result_table.h"
#include "window_driver.h"

namespace pelorus::bench {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kDevices = 11;
// Per device: 100 ms after the interrupt, 500 ms before the address write, 1000 ms before the
// read-back command and 2 x 100 ms after it.
constexpr double kWaitsMs = 100 + 500 + 1000 + 200;
constexpr std::chrono::seconds kPerDeviceTimeout{15};
constexpr std::chrono::seconds kExitTimeout{15};

int Run() {
  DevsimProcess sim;
  if (!sim.Start({"--wait-open", "--no-delays", "--interrupt-wait", "forever", "--devices",
                  QString::number(kDevices), "--first", "00-1A-2B-3C-4D-5E", "--quiet"})) {
    return 1;
  }
  WindowDriver driver;
  std::vector<Clock::time_point> banners;
  EventWait all_done;
  ModalCloser closer([&] {
    banners.push_back(Clock::now());
    if (static_cast<int>(banners.size()) == kDevices) {
      all_done.Finish();
    }
  });
  if (!driver.PrepareRun()) {
    return 1;
  }
  const Clock::time_point start = Clock::now();
  if (!driver.PressStart("devices")) {
    return 1;
  }
  all_done.Run(kPerDeviceTimeout * kDevices);

  // The simulator ends by itself after the last device and says whether every address was
  // written one above the previous one and read back.
  EventWait exited;
  QObject::connect(&sim.process(), &QProcess::finished, [&] { exited.Finish(); });
  if (sim.process().state() == QProcess::NotRunning) {
    exited.Finish();
  }
  exited.Run(kExitTimeout);
  const int status = sim.Stop();
  driver.PressEnd();

  const int seen = static_cast<int>(banners.size());
  if (seen < 2 || status != 0) {
    PrintDetail(Format("devices: %d banners, pelorus-devsim exit status %d", seen, status));
    PrintRow("Devices per minute, no device delays", "ceiling 33.3/min", "did not finish",
             "FAILED");
    return 1;
  }
  const double per_device_ms =
      std::chrono::duration<double, std::milli>(banners.back() - banners.front()).count() /
      (seen - 1);
  const double per_minute = 60000.0 / per_device_ms;
  const double ceiling = 60000.0 / kWaitsMs;
  PrintDetail(
      Format("devices: %d devices, first banner %.0f ms after START, then one every "
             "%.0f ms (waits %.0f ms, %.0f ms beyond them)",
             seen, std::chrono::duration<double, std::milli>(banners.front() - start).count(),
             per_device_ms, kWaitsMs, per_device_ms - kWaitsMs));
  PrintRow("Devices per minute, no device delays",
           Format("ceiling %.1f/min (waits %.0f ms per device)", ceiling, kWaitsMs),
           Format("%.1f/min (%.0f ms per device)", per_minute, per_device_ms),
           Format("info: %.0f %% of ceiling", 100.0 * per_minute / ceiling));
  return 0;
}

}  // namespace
}  // namespace pelorus::bench

int main(int argc, char** argv) {
  return pelorus::bench::WindowDriver::Main(argc, argv, pelorus::bench::Run);
}
