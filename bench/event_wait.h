#pragma once

#include <QEventLoop>
#include <QMetaObject>
#include <QTimer>
#include <atomic>
#include <chrono>

namespace pelorus::bench {

// Runs the window's event loop until Finish is called or a time-out passes, so that a
// benchmark waits for what it measures without polling for it. One wait per object.
class EventWait {
 public:
  // True when Finish was called (before or during the run), false when the time-out passed.
  bool Run(std::chrono::milliseconds timeout) {
    if (!finished_) {
      QTimer::singleShot(timeout, Qt::PreciseTimer, &loop_, &QEventLoop::quit);
      loop_.exec();
    }
    return finished_;
  }
  // Any thread. A queued quit reaches the loop even when Run has not started it yet.
  void Finish() {
    finished_ = true;
    QMetaObject::invokeMethod(&loop_, &QEventLoop::quit, Qt::QueuedConnection);
  }

 private:
  QEventLoop loop_;
  std::atomic<bool> finished_{false};
};

// Lets the event loop run for a fixed time (a pause in which the window keeps working).
inline void RunEventsFor(std::chrono::milliseconds duration) {
  EventWait wait;
  wait.Run(duration);
}

}  // namespace pelorus::bench
