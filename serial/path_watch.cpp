#include "path_watch.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <filesystem>

namespace pelorus {

PathWatch::PathWatch(const std::string& path) {
  const std::string folder = std::filesystem::path(path).parent_path().string();
  fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd_ >= 0 && inotify_add_watch(fd_, folder.empty() ? "." : folder.c_str(),
                                    IN_CREATE | IN_MOVED_TO | IN_ATTRIB) < 0) {
    close(fd_);
    fd_ = -1;
  }
}

PathWatch::~PathWatch() {
  if (fd_ >= 0) {
    close(fd_);
  }
}

void PathWatch::Drain() {
  alignas(inotify_event) char events[4096];
  while (fd_ >= 0 && read(fd_, events, sizeof events) > 0) {
  }
}

}  // namespace pelorus
