// Idle: the window with its port open on a silent line should cost next to nothing, so that a
// tool left running for a shift does not load the bench PC.

#include <chrono>

#include "event_wait.h"
#include "modal_closer.h"
#include "process_usage.h"
#include "pty_device.h"
#include "result_table.h"
#include "window_driver.h"

namespace pelorus::bench {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::chrono::seconds kSettle{1};
constexpr std::chrono::seconds kIdle{10};
constexpr double kGoalPercent = 0.1;

int Run() {
  PtyDevice device;
  if (!device.ok()) {
    PrintDetail("idle: no pseudo-terminal");
    return 1;
  }
  WindowDriver driver;
  ModalCloser closer;
  if (!driver.PrepareRun()) {
    return 1;
  }
  if (!driver.PressStart("idle")) {
    return 1;
  }
  // What START set going (painting, the watcher's start) is over before the count begins.
  RunEventsFor(kSettle);

  const ProcessUsage before = ProcessUsage::Now();
  const Clock::time_point start = Clock::now();
  RunEventsFor(kIdle);
  const ProcessUsage after = ProcessUsage::Now();
  const double wall = std::chrono::duration<double>(Clock::now() - start).count();
  const bool open = driver.window().IsPortOpen();
  driver.PressEnd();

  const double cpu = after.cpu_seconds - before.cpu_seconds;
  const double percent = 100.0 * cpu / wall;
  PrintDetail(
      Format("idle: %.4f s CPU in %.2f s, %.1f wake-ups/s, port %s", cpu, wall,
             static_cast<double>(after.voluntary_switches - before.voluntary_switches) / wall,
             open ? "open throughout" : "CLOSED"));
  PrintRow("Idle CPU, port open and silent (10 s)", "≤ 0.1 %", Format("%.3f %%", percent),
           open ? Verdict(percent <= kGoalPercent) : "FAILED");
  return open ? 0 : 1;
}

}  // namespace
}  // namespace pelorus::bench

int main(int argc, char** argv) {
  return pelorus::bench::WindowDriver::Main(argc, argv, pelorus::bench::Run);
}
