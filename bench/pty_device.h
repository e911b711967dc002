#pragma once

#include <chrono>
#include <cstddef>
#include <string>

namespace pelorus::bench {

// A device of the benchmark's own on a pseudo-terminal: the window opens the slave by its
// path (PELORUS_COM1 names it, path() gives it), the benchmark plays the device on the
// master. Both ends stay open for the object's life, so the window never sees a hang-up, and
// stay out of the programs the benchmark starts.
class PtyDevice {
 public:
  using Clock = std::chrono::steady_clock;

  // Opens the pair and points PELORUS_COM1 at the slave.
  PtyDevice();
  ~PtyDevice();
  PtyDevice(const PtyDevice&) = delete;
  PtyDevice& operator=(const PtyDevice&) = delete;

  bool ok() const { return master_ >= 0; }
  // The slave's path, "/dev/pts/N".
  const std::string& path() const { return path_; }

  // Writes bytes whole; returns the moment just before the write that put the last byte in
  // the port, or Clock::time_point{} when the write failed.
  Clock::time_point Send(const std::string& bytes);
  // Waits until the window has written something or the deadline passes. Returns the moment
  // the first byte could be read (Clock::time_point{} on time-out); what was read is appended
  // to *received.
  Clock::time_point WaitForBytes(Clock::time_point deadline, std::string* received);
  // Reads whatever comes until the deadline passes or *received holds at least want bytes.
  void Collect(Clock::time_point deadline, std::size_t want, std::string* received);
  // Throws away what was sent and the window has not read yet, so that a Send stuck on a
  // window that fell behind returns. Safe while another thread sends.
  void Discard();

 private:
  bool ReadSome(std::string* received);

  int master_ = -1;
  int slave_ = -1;
  std::string path_;
};

}  // namespace pelorus::bench
