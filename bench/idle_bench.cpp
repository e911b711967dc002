// Idle: the window with its port open on a silent line should cost next to nothing, so that a
// tool left running for a shift does not load the bench PC; nor should waiting for a port
// that went away.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QByteArray>
#include <chrono>
#include <memory>

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

// Process CPU over kIdle while the window does what it does.
double CpuPercent() {
  const ProcessUsage before = ProcessUsage::Now();
  const Clock::time_point start = Clock::now();
  RunEventsFor(kIdle);
  const ProcessUsage after = ProcessUsage::Now();
  const double wall = std::chrono::duration<double>(Clock::now() - start).count();
  const double cpu = after.cpu_seconds - before.cpu_seconds;
  PrintDetail(
      Format("idle: %.4f s CPU in %.2f s, %.1f wake-ups/s", cpu, wall,
             static_cast<double>(after.voluntary_switches - before.voluntary_switches) / wall));
  return 100.0 * cpu / wall;
}

bool WaitForConsoleServer();

int Run() {
  auto device = std::make_unique<PtyDevice>();
  if (!device->ok()) {
    PrintDetail("idle: no pseudo-terminal");
    return 1;
  }
  WindowDriver driver;
  ModalCloser closer;
  if (!driver.PrepareRun() || !driver.PressStart("idle")) {
    return 1;
  }
  // What START set going (painting, the watcher's start) is over before the count begins.
  RunEventsFor(kSettle);
  const double open_percent = CpuPercent();
  const bool open = driver.window().IsPortOpen();
  PrintRow("Idle CPU, port open and silent (10 s)", "≤ 0.1 %", Format("%.3f %%", open_percent),
           open ? Verdict(open_percent <= kGoalPercent) : "FAILED");

  // The adapter is pulled: the window waits for it to come back.
  device.reset();
  RunEventsFor(kSettle);
  const double waiting_percent = CpuPercent();
  const bool waiting = !driver.window().IsPortOpen();
  driver.PressEnd();
  PrintRow("Idle CPU, waiting for a lost port (10 s)", "≤ 0.1 %",
           Format("%.3f %%", waiting_percent),
           waiting ? Verdict(waiting_percent <= kGoalPercent) : "FAILED");
  return open && waiting && WaitForConsoleServer() ? 0 : 1;
}

// A console server that goes away: the window tries to reach it again after a back-off.
bool WaitForConsoleServer() {
  const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
      listen(listener, 1) != 0) {
    PrintDetail("idle: no loopback socket");
    close(listener);
    return false;
  }
  qputenv("PELORUS_COM1", "tcp://127.0.0.1:" + QByteArray::number(ntohs(address.sin_port)));
  WindowDriver driver;
  ModalCloser closer;
  if (!driver.PrepareRun() || !driver.PressStart("idle")) {
    close(listener);
    return false;
  }
  const int connection = accept(listener, nullptr, nullptr);
  close(listener);
  close(connection);
  RunEventsFor(kSettle);
  const double percent = CpuPercent();
  const bool waiting = !driver.window().IsPortOpen();
  driver.PressEnd();
  PrintRow("Idle CPU, waiting for a console server (10 s)", "≤ 0.1 %", Format("%.3f %%", percent),
           waiting ? Verdict(percent <= kGoalPercent) : "FAILED");
  return waiting;
}

}  // namespace
}  // namespace pelorus::bench

int main(int argc, char** argv) {
  return pelorus::bench::WindowDriver::Main(argc, argv, pelorus::bench::Run);
}
