#include "run/mailbox.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

namespace pelorus {

Mailbox::Mailbox() : stop_fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

Mailbox::~Mailbox() {
  if (stop_fd_ >= 0) {
    close(stop_fd_);
  }
}

void Mailbox::Post(Event event) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back(event);
  }
  wake_.notify_all();
}

std::uint64_t Mailbox::Begin() {
  std::uint64_t run = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    run = ++begun_;
    events_.push_back({Event::Kind::kStart, static_cast<std::int64_t>(run)});
  }
  wake_.notify_all();
  return run;
}

void Mailbox::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopped_ = begun_;
  }
  const std::uint64_t one = 1;
  if (stop_fd_ >= 0 && write(stop_fd_, &one, sizeof one) < 0) {
    // Already readable: the counter is full, which wakes the same.
  }
  wake_.notify_all();
}

bool Mailbox::Stopped(std::uint64_t run) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return run != 0 && run <= stopped_;
}

std::optional<Mailbox::Event> Mailbox::Next(std::uint64_t run, Clock::time_point deadline) {
  std::unique_lock<std::mutex> lock(mutex_);
  const auto ready = [&] { return !events_.empty() || (run != 0 && run <= stopped_); };
  if (deadline == Clock::time_point::max()) {
    wake_.wait(lock, ready);
  } else if (!wake_.wait_until(lock, deadline, ready)) {
    return std::nullopt;
  }
  if (run != 0 && run <= stopped_) {
    return std::nullopt;
  }
  const Event event = events_.front();
  events_.pop_front();
  return event;
}

bool Mailbox::SleepUntil(std::uint64_t run, Clock::time_point deadline) {
  std::unique_lock<std::mutex> lock(mutex_);
  return !wake_.wait_until(lock, deadline, [&] { return run <= stopped_; });
}

void Mailbox::Rearm() {
  std::uint64_t count = 0;
  if (stop_fd_ >= 0 && read(stop_fd_, &count, sizeof count) < 0) {
    // Nothing was pending.
  }
}

}  // namespace pelorus
