#pragma once

#include <QEventLoop>
#include <QSocketNotifier>
#include <chrono>
#include <memory>

namespace pelorus {

// A wait on the window's thread that ends on time to well under a millisecond: the window's
// event loop runs meanwhile (it paints, takes the operator's input and queued news), and a
// timerfd ends it. Qt's own timers count in whole milliseconds and end up to a millisecond
// late, which a device answering to the dialogue's timing would see. One wait at a time.
class PreciseWait {
 public:
  PreciseWait();
  ~PreciseWait();
  PreciseWait(const PreciseWait&) = delete;
  PreciseWait& operator=(const PreciseWait&) = delete;

  using Clock = std::chrono::steady_clock;

  // Runs the event loop until the deadline (true) or until Cancel is called (false).
  bool RunUntil(Clock::time_point deadline);
  // Ends a running wait at once; Run then returns false. Nothing when no wait runs.
  void Cancel();

 private:
  void OnExpired();

  int timer_fd_ = -1;
  std::unique_ptr<QSocketNotifier> notifier_;  // null when the timerfd could not be made
  QEventLoop* loop_ = nullptr;
  bool cancelled_ = false;
};

}  // namespace pelorus
