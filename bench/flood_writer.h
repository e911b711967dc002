#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

#include "pty_device.h"

namespace pelorus::bench {

// A board that floods its console: writes trigger-free console text to a device of the
// benchmark's own as fast as the port takes it, on a thread of its own, from Start to Stop.
class FloodWriter {
 public:
  explicit FloodWriter(PtyDevice& device);
  // Stops the writing.
  ~FloodWriter();
  FloodWriter(const FloodWriter&) = delete;
  FloodWriter& operator=(const FloodWriter&) = delete;

  // Between Stop and Start only.
  void Start();
  // Returns once the thread has ended, even when the reader stopped reading.
  void Stop();

  // Over every span from Start to Stop; 0 before the first Stop.
  double MBPerSecond() const;

 private:
  PtyDevice& device_;
  const std::string text_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> done_{false};
  std::atomic<std::uint64_t> bytes_{0};
  PtyDevice::Clock::time_point started_;
  double seconds_ = 0;
  std::thread thread_;
};

}  // namespace pelorus::bench
