// Flood: the real window and port read devices that print as fast as the pseudo-terminal
// takes it. First a device of the benchmark's own prints one line of 4 MB without a line end,
// of letters and then of zero bytes, each followed by a CODE line: how fast the log fills, how
// soon the window answers, how much memory the line holds. Then a simulated device prints tens
// of megabytes of console text: how fast the log fills, whether a megabyte costs more CPU once
// the log is big, and how much memory the log holds. Last it prints a gigabyte, far more than
// the log keeps: the window's memory must stay where it was.

#include <sys/wait.h>
#include <unistd.h>

#include <QObject>
#include <QTest>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "devsim_process.h"
#include "event_wait.h"
#include "modal_closer.h"
#include "process_usage.h"
#include "pty_device.h"
#include "result_table.h"
#include "window_driver.h"

namespace pelorus::bench {
namespace {

using Clock = PtyDevice::Clock;

constexpr std::size_t kMB = 1000000;
constexpr std::size_t kFloodBytes = 22 * kMB;
constexpr std::size_t kLineBytes = 4 * kMB;
constexpr std::size_t kLongFloodBytes = 1000 * kMB;
constexpr std::size_t kSendStep = 64 * 1024;  // a stopped sender stops within one step
constexpr char kCodeLine[] = "\r\nHit CODE to stop autoboot\r\n";
constexpr double kGoalMBPerSecond = 5.0;
constexpr double kGoalCpuRatio = 1.5;
constexpr double kGoalAnswerMs = 50.0;
constexpr double kGoalLongFloodGrowthMB = 30.0;
constexpr std::chrono::seconds kTimeout{180};
constexpr std::chrono::seconds kLineTimeout{60};
constexpr std::chrono::seconds kLongFloodTimeout{600};
constexpr std::chrono::seconds kAnswerTimeout{10};

struct Mark {
  std::size_t logged = 0;  // bytes the log had gained since tracking began
  Clock::time_point when;
  double cpu_seconds = 0;
};

// Follows the log chunk by chunk and notes time and CPU as it passes each mark, each time the
// window has taken a chunk into its log.
class FloodTracker : public QObject {
 public:
  FloodTracker(WindowDriver& driver, std::vector<std::size_t> marks, EventWait& done)
      : driver_(driver), marks_(std::move(marks)), done_(done) {}

  void Begin() {
    base_ = driver_.ConsoleBytes();
    connect(
        &driver_.window(), &CPELORUSDlg::ConsoleLogged, this, [this] { OnChunk(); },
        Qt::QueuedConnection);
  }

  std::size_t base() const { return base_; }
  const std::optional<Mark>& first() const { return first_; }
  const std::vector<Mark>& passed() const { return passed_; }

 private:
  void OnChunk() {
    const std::size_t logged = driver_.ConsoleBytes() - base_;
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

struct LineFigures {
  std::optional<double> rate;       // MB/s; none when the log did not get the line in time
  std::optional<double> answer_ms;  // none when no answer, or a wrong one, came
};

// The device sends line as fast as the port takes it and the CODE line right after it, as a
// console does. The answer is timed from the moment the CODE line is in the port, so it takes
// in whatever of the line the window still had to catch up with then.
LineFigures PlayLine(PtyDevice& device, WindowDriver& driver, const std::string& line,
                     const char* name) {
  EventWait filled;
  FloodTracker tracker(driver, {line.size()}, filled);
  tracker.Begin();
  EventWait played;
  std::atomic<bool> stop{false};
  std::atomic<bool> done{false};
  std::string answer;
  Clock::time_point in_port;
  Clock::time_point answered;
  std::thread player([&] {
    for (std::size_t at = 0; at < line.size() && !stop; at += kSendStep) {
      if (device.Send(line.substr(at, kSendStep)) == Clock::time_point{}) {
        stop = true;
      }
    }
    if (!stop) {
      in_port = device.Send(kCodeLine);
      if (in_port != Clock::time_point{}) {
        answered = device.WaitForBytes(in_port + kAnswerTimeout, &answer);
      }
    }
    done = true;
    played.Finish();
  });
  const bool complete = filled.Run(kLineTimeout);
  if (complete) {
    played.Run(kAnswerTimeout + std::chrono::seconds(1));
  }
  stop = true;
  while (!done) {
    device.Discard();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  player.join();

  LineFigures figures;
  if (!complete || !tracker.first()) {
    PrintDetail(Format("line of %s: the log gained only %zu of %zu bytes in %lld s", name,
                       tracker.first() ? driver.ConsoleBytes() - tracker.base() : 0, line.size(),
                       static_cast<long long>(kLineTimeout.count())));
    return figures;
  }
  const Mark& first = *tracker.first();
  const Mark& end = tracker.passed().back();
  figures.rate =
      static_cast<double>(end.logged - first.logged) / kMB / Seconds(end.when - first.when);
  if (answered == Clock::time_point{} || answer[0] != '\x03') {
    PrintDetail(Format("line of %s: the CODE line got %s", name,
                       answered == Clock::time_point{} ? "no answer" : "a wrong answer"));
    return figures;
  }
  figures.answer_ms = std::chrono::duration<double, std::milli>(answered - in_port).count();
  PrintDetail(Format("line of %s: %.1f MB logged in %.2f s; CODE answered after %.2f ms", name,
                     static_cast<double>(end.logged) / kMB, Seconds(end.when - first.when),
                     *figures.answer_ms));
  // What comes next starts once the dialogue is done with the CODE line (it waits after the
  // answer, and logs the line end then).
  const std::size_t logged = tracker.base() + line.size() + sizeof kCodeLine - 1;
  if (!QTest::qWaitFor([&] { return driver.ConsoleBytes() >= logged; },
                       static_cast<int>(std::chrono::milliseconds(kAnswerTimeout).count()))) {
    PrintDetail(Format("line of %s: the log never got the whole CODE line", name));
  }
  return figures;
}

std::string Measured(const std::optional<double>& value, const char* format, const char* none) {
  return value ? Format(format, *value) : std::string(none);
}

int UnbrokenLines() {
  PtyDevice device;
  if (!device.ok()) {
    PrintDetail("line: no pseudo-terminal");
    return 1;
  }
  WindowDriver driver;
  ModalCloser closer;
  if (!driver.PrepareRun()) {
    return 1;
  }
  // Made before the resident set is taken, so that the peak counts only the window's memory.
  std::string letters(kLineBytes, '\0');
  for (std::size_t i = 0; i < letters.size(); ++i) {
    letters[i] = static_cast<char>('a' + i % 26);
  }
  const std::string zeros(kLineBytes, '\0');
  const ProcessUsage before = ProcessUsage::Now();
  if (!driver.PressStart("line")) {
    return 1;
  }
  const LineFigures of_letters = PlayLine(device, driver, letters, "letters");
  const LineFigures of_zeros =
      of_letters.rate ? PlayLine(device, driver, zeros, "zero bytes") : LineFigures{};
  const ProcessUsage after = ProcessUsage::Now();
  driver.PressEnd();

  const bool filled = of_letters.rate && of_zeros.rate;
  const bool answered = of_letters.answer_ms && of_zeros.answer_ms;
  PrintRow("Unbroken line: log fill rate, 4 MB of letters / of zero bytes", "≥ 5 MB/s",
           Measured(of_letters.rate, "%.1f MB/s", "did not finish") + " / " +
               Measured(of_zeros.rate, "%.1f MB/s", "did not finish"),
           filled
               ? Verdict(*of_letters.rate >= kGoalMBPerSecond && *of_zeros.rate >= kGoalMBPerSecond)
               : "FAILED");
  PrintRow("Unbroken line: CODE answered after 4 MB of letters / of zero bytes", "≤ 50 ms",
           Measured(of_letters.answer_ms, "%.2f ms", "none") + " / " +
               Measured(of_zeros.answer_ms, "%.2f ms", "none"),
           answered ? Verdict(*of_letters.answer_ms <= kGoalAnswerMs &&
                              *of_zeros.answer_ms <= kGoalAnswerMs)
                    : "FAILED");
  const double logged_mb = static_cast<double>(driver.ConsoleBytes()) / kMB;
  const double peak_gain = MegaBytes(after.peak_rss_kib - before.rss_kib);
  PrintRow("Unbroken line: peak memory per MB logged", "none set",
           Format("%.1f MB per MB (peak +%.0f MB for %.0f MB)", peak_gain / logged_mb, peak_gain,
                  logged_mb),
           "info");
  return filled && answered ? 0 : 1;
}

int ConsoleFlood() {
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
    PrintDetail(Format("flood: the log gained only %zu bytes in %lld s", driver.ConsoleBytes(),
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

int LongFlood() {
  DevsimProcess sim;
  if (!sim.Start({"--wait-open", "--no-delays", "--interrupt-wait", "forever", "--devices", "1",
                  "--first", "00-1A-2B-3C-4D-5E", "--quiet", "--flood",
                  QString::number(kLongFloodBytes)})) {
    return 1;
  }
  WindowDriver driver;
  ModalCloser closer;
  if (!driver.PrepareRun()) {
    return 1;
  }
  EventWait flood_in;
  FloodTracker tracker(driver, {kLongFloodBytes}, flood_in);
  const ProcessUsage before = ProcessUsage::Now();
  tracker.Begin();
  if (!driver.PressStart("long flood")) {
    return 1;
  }
  const bool complete = flood_in.Run(kLongFloodTimeout);
  const ProcessUsage after = ProcessUsage::Now();
  const std::size_t kept = driver.window().LogText().size();
  driver.PressEnd();
  sim.Stop();
  if (!complete || !tracker.first()) {
    PrintDetail(Format("long flood: the log gained only %zu bytes in %lld s", driver.ConsoleBytes(),
                       static_cast<long long>(kLongFloodTimeout.count())));
    PrintRow("Long flood: resident set growth over 1 GB logged", "≤ 30 MB", "did not finish",
             Verdict(false));
    return 1;
  }

  const Mark& first = *tracker.first();
  const Mark& end = tracker.passed().back();
  const double seconds = Seconds(end.when - first.when);
  const double growth = MegaBytes(after.rss_kib - before.rss_kib);
  const double peak_growth = MegaBytes(after.peak_rss_kib - before.rss_kib);
  PrintDetail(Format("long flood: %.0f MB logged in %.1f s (%.1f MB/s); the log keeps %.1f MB",
                     static_cast<double>(end.logged) / kMB, seconds,
                     static_cast<double>(end.logged - first.logged) / kMB / seconds,
                     static_cast<double>(kept) / kMB));
  PrintDetail(
      Format("long flood: resident set %.0f MB before START, %.0f MB at the end, peak %.0f MB",
             MegaBytes(before.rss_kib), MegaBytes(after.rss_kib), MegaBytes(after.peak_rss_kib)));
  PrintRow("Long flood: resident set growth over 1 GB logged (window + port, pty)", "≤ 30 MB",
           Format("+%.0f MB at the end, peak +%.0f MB (%.1f MB/s)", growth, peak_growth,
                  static_cast<double>(end.logged - first.logged) / kMB / seconds),
           Verdict(peak_growth <= kGoalLongFloodGrowthMB));
  return 0;
}

// Runs part in a process of its own, as the whole program for it, so that the peak resident set
// it reports is its own; returns its exit status.
int RunApart(int argc, char** argv, int (*part)()) {
  std::fflush(stdout);
  const pid_t child = fork();
  if (child == 0) {
    std::exit(WindowDriver::Main(argc, argv, part));
  }
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status)) {
    PrintDetail("flood: a part of the benchmark did not run to its end");
    return 1;
  }
  return WEXITSTATUS(status);
}

}  // namespace
}  // namespace pelorus::bench

int main(int argc, char** argv) {
  using pelorus::bench::RunApart;
  const int lines = RunApart(argc, argv, pelorus::bench::UnbrokenLines);
  const int flood = RunApart(argc, argv, pelorus::bench::ConsoleFlood);
  const int long_flood = RunApart(argc, argv, pelorus::bench::LongFlood);
  return lines != 0 ? lines : flood != 0 ? flood : long_flood;
}
