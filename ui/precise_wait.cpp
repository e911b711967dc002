#include "ui/precise_wait.h"

#include <sys/timerfd.h>
#include <unistd.h>

#include <QTimer>
#include <cstdint>
#include <ctime>

namespace pelorus {
namespace {

// steady_clock counts CLOCK_MONOTONIC, the timerfd's clock.
timespec ToTimespec(PreciseWait::Clock::time_point at) {
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(at.time_since_epoch());
  timespec spec{};
  spec.tv_sec = static_cast<time_t>(ns.count() / 1000000000);
  spec.tv_nsec = static_cast<long>(ns.count() % 1000000000);
  return spec;
}

}  // namespace

PreciseWait::PreciseWait()
    : timer_fd_(timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC)) {
  if (timer_fd_ >= 0) {
    notifier_ = std::make_unique<QSocketNotifier>(timer_fd_, QSocketNotifier::Read);
    notifier_->setEnabled(false);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] { OnExpired(); });
  }
}

PreciseWait::~PreciseWait() {
  notifier_.reset();
  if (timer_fd_ >= 0) {
    close(timer_fd_);
  }
}

bool PreciseWait::RunUntil(Clock::time_point deadline) {
  const auto left = deadline - Clock::now();
  if (left.count() <= 0) {
    return true;
  }
  QEventLoop loop;
  loop_ = &loop;
  cancelled_ = false;
  itimerspec expiry{};
  expiry.it_value = ToTimespec(deadline);
  if (notifier_ && timerfd_settime(timer_fd_, TFD_TIMER_ABSTIME, &expiry, nullptr) == 0) {
    notifier_->setEnabled(true);
  } else {
    // Without a timerfd the wait is still right, only up to a millisecond later.
    QTimer::singleShot(std::chrono::ceil<std::chrono::milliseconds>(left), Qt::PreciseTimer, &loop,
                       &QEventLoop::quit);
  }
  loop.exec();
  loop_ = nullptr;
  if (notifier_) {
    notifier_->setEnabled(false);
    const itimerspec disarm{};
    timerfd_settime(timer_fd_, 0, &disarm, nullptr);
  }
  return !cancelled_;
}

void PreciseWait::Cancel() {
  if (loop_ != nullptr) {
    cancelled_ = true;
    loop_->quit();
  }
}

void PreciseWait::OnExpired() {
  std::uint64_t expirations = 0;
  // Reading clears the readiness; a failed read only means there was nothing to clear.
  [[maybe_unused]] const ssize_t n = read(timer_fd_, &expirations, sizeof expirations);
  if (loop_ != nullptr) {
    loop_->quit();
  }
}

}  // namespace pelorus
