#include "ui/port_return.h"

#include <QSocketNotifier>
#include <algorithm>
#include <utility>

#include "serial/path_watch.h"

namespace pelorus {

PortReturn::PortReturn() {
  timer_.setSingleShot(true);
  connect(&timer_, &QTimer::timeout, this, [this] { Try(); });
}

PortReturn::~PortReturn() = default;

void PortReturn::Start(const std::string& target, Reopen reopen) {
  Stop();
  reopen_ = std::move(reopen);
  waiting_ = true;
  server_ = target.find("://") != std::string::npos;
  back_off_ = server_ ? kFirstBackOff : kRetry;
  if (!server_) {
    watch_ = std::make_unique<PathWatch>(target);
    if (watch_->Fd() >= 0) {
      notifier_ = std::make_unique<QSocketNotifier>(watch_->Fd(), QSocketNotifier::Read);
      connect(notifier_.get(), &QSocketNotifier::activated, this, [this] {
        watch_->Drain();
        Try();
      });
    }
  }
  timer_.start(back_off_);
}

void PortReturn::Stop() {
  waiting_ = false;
  timer_.stop();
  notifier_.reset();
  watch_.reset();
  reopen_ = nullptr;
}

void PortReturn::Try() {
  if (!waiting_) {
    return;
  }
  // A copy, since a successful reopen stops the wait and with it the function it runs in.
  const Reopen reopen = reopen_;
  const bool back = reopen();
  // The try may have waited for a console server, and the operator ended the wait meanwhile.
  if (!waiting_) {
    return;
  }
  if (back) {
    Stop();
    return;
  }
  if (server_) {
    back_off_ = std::min(back_off_ * 2, kLastBackOff);
  }
  timer_.start(back_off_);
}

}  // namespace pelorus
