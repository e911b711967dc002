#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace pelorus::pool {

// One attempt's console both ways, piece by piece as the port delivered and sent it, each
// with its time, kept for the record up to a cap. Any bytes are kept as they are.
//
// Encoded, it is a zlib stream of: a format byte (1), the count of bytes cut as a varint, then
// per piece the time as a zigzag varint of microseconds after the previous piece's (the first
// after the epoch), a varint of length * 2 + direction (0 from the device, 1 to it) and the
// bytes. Not thread-safe.
class Transcript {
 public:
  // Console bytes kept at most; what comes past the cap is only counted.
  static constexpr std::size_t kCapBytes = 4 * 1024 * 1024;

  enum class Direction { kFromDevice, kToDevice };
  struct Piece {
    Direction direction = Direction::kFromDevice;
    std::int64_t at_us = 0;  // microseconds since the epoch
    std::string bytes;
  };

  // Adds n bytes that went dir at at_us. A piece that reaches past the cap is kept up to it;
  // the rest, and every piece after it, is counted in cut().
  void Add(Direction dir, std::int64_t at_us, const char* bytes, std::size_t n);
  // Console bytes kept, and bytes left out past the cap.
  std::uint64_t bytes() const { return bytes_; }
  std::uint64_t cut() const { return cut_; }
  // The pieces as the record keeps them (see above); one pass of zlib over what was kept.
  std::string Encode() const;
  // The pieces and the cut count of what Encode gave; false with *error for anything else,
  // such as a stream that inflates far past what a full transcript takes, or holds more
  // console bytes than the cap or more pieces than it has bytes. The memory it takes is that
  // of what it gives.
  static bool Decode(const std::string& encoded, std::vector<Piece>* pieces, std::uint64_t* cut,
                     std::string* error);
  void Clear();

 private:
  std::string pieces_;  // the encoded pieces before compression
  std::int64_t last_at_us_ = 0;
  std::uint64_t bytes_ = 0;
  std::uint64_t cut_ = 0;
};

}  // namespace pelorus::pool
