#pragma once

#include <string>

namespace pelorus {

// Tells when a device path may have come back: an inotify watch on the folder that holds the
// path, which wakes when a name is created, moved in or changed there (an adapter plugged in
// again, its by-id link made anew, a pseudo-terminal's link put back). It only says "look
// again": whether the device is usable shows when it is opened.
class PathWatch {
 public:
  explicit PathWatch(const std::string& path);
  ~PathWatch();
  PathWatch(const PathWatch&) = delete;
  PathWatch& operator=(const PathWatch&) = delete;

  // Readable when the folder changed; -1 when the folder cannot be watched (it is gone too,
  // or watches are used up), and then only looking again from time to time finds the device.
  int Fd() const { return fd_; }
  // Takes what is pending, so that the descriptor is quiet until the next change.
  void Drain();

 private:
  int fd_ = -1;
};

}  // namespace pelorus
