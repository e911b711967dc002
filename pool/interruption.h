#pragma once

#include <atomic>
#include <chrono>

namespace pelorus::pool {

// A store's "stop waiting": raised from any thread, it stays raised until cleared, and ends
// every wait that watches it at once. Its descriptor is readable while it is raised, so that a
// poll() on a socket beside it wakes too.
class Interruption {
 public:
  Interruption();
  ~Interruption();
  Interruption(const Interruption&) = delete;
  Interruption& operator=(const Interruption&) = delete;

  // Any thread, at any time.
  void Raise();
  // On the thread that waits.
  void Clear();
  bool Raised() const { return raised_.load(); }
  // Readable while raised; -1 when the system gave no descriptor (then waits watch Raised()
  // between short sleeps).
  int Fd() const { return fd_; }
  // Sleeps for span, less when raised meanwhile; false when raised.
  bool Sleep(std::chrono::microseconds span) const;

 private:
  std::atomic<bool> raised_{false};
  int fd_;
};

}  // namespace pelorus::pool
