#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <random>
#include <string>

#include "sim_options.h"

namespace pelorus::devsim {

// The device's side of the wire: everything the device prints, its pauses and the moments
// at which its state changes, in order, written to a non-blocking fd at the pace the options
// ask for. The owner calls Pump whenever time has passed or the fd became writable, and waits
// for what Pump reports; nothing here sleeps or blocks.
class OutputQueue {
 public:
  using Clock = std::chrono::steady_clock;

  struct Pacing {
    std::chrono::microseconds byte_delay{0};
    bool chunking = false;
    IntRange chunk{1, 1};
    IntRange gap_ms{0, 0};
    std::uint64_t seed = 1;
  };

  enum class Status {
    kIdle,          // nothing queued
    kWaitTime,      // call again at WakeTime()
    kWaitWritable,  // the port is full: call again when the fd is writable
    kError,         // a write failed; Error() says why
  };

  OutputQueue(int fd, const Pacing& pacing);

  // Bytes that follow the chunking, gaps and byte delay.
  void AddBytes(std::string bytes);
  // Bytes written as fast as the fd takes them, outside the chunking and pacing.
  void AddFlood(std::string bytes);
  // Nothing goes out for `pause`, counted from when everything before it is out.
  void AddPause(std::chrono::microseconds pause);
  // `action` runs as soon as everything before it has been written (and any pause before it
  // has passed). It may add more items.
  void AddAction(std::function<void()> action);
  // Drops everything queued and writes nothing more (the line was hung up).
  void Stop();
  // Takes items again and writes them to `fd` (the port came back as a new one). Byte count,
  // digests and the random draws carry on; pacing starts afresh.
  void Resume(int fd);

  // Writes what may go out at `now` and runs the actions it passes.
  Status Pump(Clock::time_point now);
  Clock::time_point WakeTime() const { return wake_; }
  const std::string& Error() const { return error_; }

  std::uint64_t BytesWritten() const { return bytes_written_; }
  // FNV-1a of every byte written, and of the sequence of chunk sizes drawn: equal for equal
  // seeds and host behaviour, whatever the timing.
  std::uint64_t OutDigest() const { return out_digest_; }
  std::uint64_t ChunkDigest() const { return chunk_digest_; }

 private:
  enum class Kind { kBytes, kFlood, kPause, kAction };
  struct Item {
    Kind kind = Kind::kBytes;
    std::string data;
    std::size_t offset = 0;
    std::chrono::microseconds pause{0};
    std::function<void()> action;
  };

  void Push(Item item);
  void AddData(Kind kind, std::string bytes);
  std::optional<std::size_t> Send(const char* data, std::size_t size, Status& status);
  Status WriteFlood(Item& item);
  Status WriteBytes(Clock::time_point now);
  void Account(const char* data, std::size_t n);
  int Draw(IntRange range);

  int fd_;
  Pacing pacing_;
  std::mt19937_64 rng_;
  std::deque<Item> items_;
  bool stopped_ = false;
  Clock::time_point pause_until_{};
  Clock::time_point next_byte_{};
  Clock::time_point wake_{};
  std::size_t chunk_left_ = 0;
  std::string buffer_;
  std::string error_;
  std::uint64_t bytes_written_ = 0;
  std::uint64_t out_digest_ = 14695981039346656037ULL;
  std::uint64_t chunk_digest_ = 14695981039346656037ULL;
};

}  // namespace pelorus::devsim
