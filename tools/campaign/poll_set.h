#pragma once

#include <poll.h>

#include <chrono>
#include <functional>
#include <vector>

namespace pelorus::campaign {

// The descriptors one turn of a poll loop waits on, each with what to do when it is ready.
// A loop fills it afresh every turn, so whatever was closed meanwhile is simply not watched.
class PollSet {
 public:
  using Handler = std::function<void(short revents)>;

  // fd < 0 is ignored.
  void Watch(int fd, short events, Handler handler);
  // Waits up to timeout for any descriptor, then calls the handler of each one that is ready
  // (in the order they were watched); returns how many were.
  int Wait(std::chrono::milliseconds timeout);
  void Clear();

 private:
  std::vector<pollfd> fds_;
  std::vector<Handler> handlers_;
};

}  // namespace pelorus::campaign
