#include "pool/interruption.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>
#include <thread>

namespace pelorus::pool {

Interruption::Interruption() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

Interruption::~Interruption() {
  if (fd_ >= 0) {
    close(fd_);
  }
}

void Interruption::Raise() {
  raised_.store(true);
  const std::uint64_t one = 1;
  if (fd_ >= 0) {
    // A counter too full to take one more is readable already.
    [[maybe_unused]] const ssize_t written = write(fd_, &one, sizeof one);
  }
}

void Interruption::Clear() {
  raised_.store(false);
  std::uint64_t count = 0;
  if (fd_ >= 0) {
    // Nothing to read is nothing to take back.
    [[maybe_unused]] const ssize_t taken = read(fd_, &count, sizeof count);
  }
}

bool Interruption::Sleep(std::chrono::microseconds span) const {
  if (Raised()) {
    return false;
  }
  if (fd_ < 0) {
    std::this_thread::sleep_for(span);
    return !Raised();
  }
  pollfd watched = {fd_, POLLIN, 0};
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(span);
  const timespec timeout = {
      static_cast<time_t>(seconds.count()),
      static_cast<long>(
          std::chrono::duration_cast<std::chrono::nanoseconds>(span - seconds).count())};
  ppoll(&watched, 1, &timeout, nullptr);
  return !Raised();
}

}  // namespace pelorus::pool
