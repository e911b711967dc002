#include "port_notify.h"

#include <poll.h>

#include <cerrno>

namespace pelorus {

bool PortNotify::WaitReady(int fd, short events, std::chrono::milliseconds timeout) {
  return PollReady(fd, events, timeout);
}

bool PollReady(int fd, short events, std::chrono::milliseconds timeout) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    pollfd wait{fd, events, 0};
    const int ready = poll(&wait, 1, left.count() > 0 ? static_cast<int>(left.count()) : 0);
    if (ready >= 0 || errno != EINTR) {
      return ready > 0;
    }
  }
}

}  // namespace pelorus
