#include "poll_set.h"

#include <algorithm>

namespace pelorus::campaign {

void PollSet::Watch(int fd, short events, Handler handler) {
  if (fd >= 0) {
    fds_.push_back({fd, events, 0});
    handlers_.push_back(std::move(handler));
  }
}

int PollSet::Wait(std::chrono::milliseconds timeout) {
  const int ms = static_cast<int>(std::max<long long>(0, timeout.count()));
  const int ready = ::poll(fds_.data(), fds_.size(), ms);
  for (std::size_t i = 0; ready > 0 && i < fds_.size(); ++i) {
    if (fds_[i].revents != 0) {
      handlers_[i](fds_[i].revents);
    }
  }
  return std::max(ready, 0);
}

void PollSet::Clear() {
  fds_.clear();
  handlers_.clear();
}

}  // namespace pelorus::campaign
