// Flood: the real window and port read a simulated device that prints tens of megabytes of
// console text as fast as the pseudo-terminal takes it. How fast the log fills, whether a
// megabyte costs more CPU once the log is big, and how much memory the log holds.

#include <QObject>
#include <chrono>
#include <cstddef>
#include <optional>
#include <vector>

#include "devsim_process.h"
#include "event_wait.h"
#include "modal_closer.h"
#include "process_usage.h"
#include "result_table.h"
#include "window_driver.h"

namespace pelorus::bench {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kMB = 1000000;
constexpr std::size_t kFloodBytes = 22 * kMB;
constexpr double kGoalMBPerSecond = 5.0;
constexpr double kGoalCpuRatio = 1.5;
constexpr std::chrono::seconds kTimeout{180};

struct Mark {
  std::size_t logged = 0;  // bytes the log had gained since START
  Clock::time_point when;
  double cpu_seconds = 0;
};

// Follows the log chunk by chunk and notes time and CPU as it passes each mark. Its slot is
// connected to the chunk signal after the window's own, so it runs once the window has
// handled the chunk.
class FloodTracker : public QObject {
 public:
  FloodTracker(WindowDriver& driver, std::vector<std::size_t> marks, EventWait& done)
      : driver_(driver), marks_(std::move(marks)), done_(done) {}

  void Begin() {
    base_ = driver_.LogSize();
    connect(
        &driver_.window(), &CPELORUSDlg::PortDataPosted, this, [this] { OnChunk(); },
        Qt::QueuedConnection);
  }

  const std::optional<Mark>& first() const { return first_; }
  const std::vector<Mark>& passed() const { return passed_; }

 private:
  void OnChunk() {
    const std::size_t logged = driver_.LogSize() - base_;
    if (!first_) {
      first_ = Note(logged);
    }
    while (passed_.size() < marks_.size() && logged >= marks_[passed_.size()]) {
      passed_.push_back(Note(logged));
    }
    if (passed_.size() == marks_.size()) {
      done_.Finish();
    }
  }

  static Mark Note(std::size_t logged) {
    return Mark{logged, Clock::now(), ProcessUsage::Now().cpu_seconds};
  }

  WindowDriver& driver_;
  std::vector<std::size_t> marks_;
  EventWait& done_;
  std::size_t base_ = 0;
  std::optional<Mark> first_;
  std::vector<Mark> passed_;
};

double Seconds(Clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

double MegaBytes(long kib) {
  return static_cast<double>(kib) * 1024.0 / kMB;
}

int Run() {
  DevsimProcess sim;
  if (!sim.Start({"--wait-open", "--no-delays", "--interrupt-wait", "forever", "--devices", "1",
                  "--first", "00-1A-2B-3C-4D-5E", "--quiet", "--flood",
                  QString::number(kFloodBytes)})) {
    return 1;
  }
  WindowDriver driver;
  ModalCloser closer;
  if (!driver.PrepareRun()) {
    return 1;
  }

  // Marks: the megabyte from 1 to 2 MB logged, the one from 20 to 21 MB, and the whole flood.
  EventWait flood_in;
  FloodTracker tracker(driver, {1 * kMB, 2 * kMB, 20 * kMB, 21 * kMB, kFloodBytes}, flood_in);
  const ProcessUsage before = ProcessUsage::Now();
  tracker.Begin();
  if (!driver.PressStart("flood")) {
    return 1;
  }
  const bool complete = flood_in.Run(kTimeout);
  const ProcessUsage after = ProcessUsage::Now();
  driver.PressEnd();
  sim.Stop();
  if (!complete || !tracker.first()) {
    PrintDetail(Format("flood: the log gained only %zu bytes in %lld s", driver.LogSize(),
                       static_cast<long long>(kTimeout.count())));
    PrintRow("Flood: log fill rate", "≥ 5 MB/s", "did not finish", Verdict(false));
    return 1;
  }

  const Mark& first = *tracker.first();
  const std::vector<Mark>& m = tracker.passed();
  const Mark& end = m.back();
  const double rate =
      static_cast<double>(end.logged - first.logged) / kMB / Seconds(end.when - first.when);
  const double cpu_at_1 = (m[1].cpu_seconds - m[0].cpu_seconds) /
                          (static_cast<double>(m[1].logged - m[0].logged) / kMB);
  const double cpu_at_20 = (m[3].cpu_seconds - m[2].cpu_seconds) /
                           (static_cast<double>(m[3].logged - m[2].logged) / kMB);
  const double ratio = cpu_at_20 / cpu_at_1;
  const double logged_mb = static_cast<double>(end.logged) / kMB;
  const double peak_gain = MegaBytes(after.peak_rss_kib - before.rss_kib);

  PrintDetail(Format("flood: %.1f MB logged in %.2f s; CPU %.2f s for the whole flood", logged_mb,
                     Seconds(end.when - first.when), end.cpu_seconds - first.cpu_seconds));
  PrintDetail(Format("flood: wall time per MB at 1 MB %.3f s, at 20 MB %.3f s",
                     Seconds(m[1].when - m[0].when), Seconds(m[3].when - m[2].when)));
  PrintDetail(Format("flood: resident set %.0f MB before START, peak %.0f MB",
                     MegaBytes(before.rss_kib), MegaBytes(after.peak_rss_kib)));

  PrintRow("Flood: log fill rate (window + port, pty)", "≥ 5 MB/s", Format("%.1f MB/s", rate),
           Verdict(rate >= kGoalMBPerSecond));
  PrintRow("Flood: CPU per MB at 1 MB / 20 MB logged", "ratio < 1.5",
           Format("%.3f s / %.3f s (ratio %.2f)", cpu_at_1, cpu_at_20, ratio),
           Verdict(ratio < kGoalCpuRatio));
  PrintRow("Flood: peak memory per MB logged", "none set",
           Format("%.1f MB per MB (peak +%.0f MB for %.0f MB)", peak_gain / logged_mb, peak_gain,
                  logged_mb),
           "info");
  return 0;
}

}  // namespace
}  // namespace pelorus::bench

int main(int argc, char** argv) {
  return pelorus::bench::WindowDriver::Main(argc, argv, pelorus::bench::Run);
}
