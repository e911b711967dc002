#include "pool/transcript.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <fstream>
#include <functional>
#include <string>
#include <vector>

namespace pelorus::pool {
namespace {

using Direction = Transcript::Direction;

std::vector<Transcript::Piece> Decoded(const std::string& encoded, std::uint64_t* cut) {
  std::vector<Transcript::Piece> pieces;
  std::string error;
  EXPECT_TRUE(Transcript::Decode(encoded, &pieces, cut, &error)) << error;
  return pieces;
}

// Any bytes both ways come back as they went, each piece at its microsecond (a clock that
// stepped back included); past the cap only the count is kept; what is not a transcript is
// refused.
TEST(TranscriptTest, KeepsAnyBytesUpToTheCapAndRefusesWhatIsNone) {
  std::string every_byte;
  for (int i = 0; i < 256; ++i) {
    every_byte += static_cast<char>(i);
  }
  Transcript transcript;
  transcript.Add(Direction::kFromDevice, 1765000000123456, every_byte.data(), every_byte.size());
  transcript.Add(Direction::kToDevice, 1765000000000001, "CODE\r", 5);
  transcript.Add(Direction::kFromDevice, 1765000000000002, "", 0);
  EXPECT_EQ(transcript.bytes(), 261u);
  std::uint64_t cut = 99;
  const auto pieces = Decoded(transcript.Encode(), &cut);
  ASSERT_EQ(pieces.size(), 2u);
  EXPECT_EQ(pieces[0].bytes, every_byte);
  EXPECT_EQ(pieces[0].at_us, 1765000000123456);
  EXPECT_EQ(pieces[0].direction, Direction::kFromDevice);
  EXPECT_EQ(pieces[1].bytes, "CODE\r");
  EXPECT_EQ(pieces[1].at_us, 1765000000000001);
  EXPECT_EQ(pieces[1].direction, Direction::kToDevice);
  EXPECT_EQ(cut, 0u);

  const std::string three_mib(3 << 20, '\xFF');
  Transcript flood;
  flood.Add(Direction::kFromDevice, 1, three_mib.data(), three_mib.size());
  flood.Add(Direction::kFromDevice, 2, three_mib.data(), three_mib.size());
  flood.Add(Direction::kToDevice, 3, "CODE\r", 5);
  EXPECT_EQ(flood.bytes(), Transcript::kCapBytes);
  EXPECT_EQ(flood.cut(), (2u << 20) + 5);
  const std::string encoded = flood.Encode();
  EXPECT_LT(encoded.size(), 64u * 1024);
  const auto kept = Decoded(encoded, &cut);
  ASSERT_EQ(kept.size(), 2u);
  EXPECT_EQ(kept[1].bytes.size(), 1u << 20);
  EXPECT_EQ(cut, (2u << 20) + 5);
  flood.Clear();
  EXPECT_EQ(flood.bytes() + flood.cut(), 0u);
  EXPECT_TRUE(Decoded(flood.Encode(), &cut).empty());
  EXPECT_EQ(cut, 0u);

  const std::string whole = transcript.Encode();
  for (const std::string& none : {std::string(), std::string("not a transcript"),
                                  whole.substr(0, whole.size() / 2), whole + "x", every_byte}) {
    std::vector<Transcript::Piece> refused;
    std::string error;
    EXPECT_FALSE(Transcript::Decode(none, &refused, &cut, &error)) << none.size();
    EXPECT_EQ(error.rfind("not a transcript", 0), 0u) << error;
  }
}

// A zlib stream of a transcript's body: the format byte, a cut count of 0, then what body
// writes, chunk by chunk (so that a body of gigabytes never sits in memory).
std::string Crafted(const std::function<bool(std::string*)>& body) {
  z_stream stream{};
  EXPECT_EQ(deflateInit(&stream, Z_BEST_COMPRESSION), Z_OK);
  std::string encoded;
  std::string chunk("\x01\x00", 2);
  bool more = true;
  char out[64 * 1024];
  while (more) {
    more = body(&chunk);
    stream.next_in = reinterpret_cast<Bytef*>(chunk.data());
    stream.avail_in = static_cast<uInt>(chunk.size());
    do {
      stream.next_out = reinterpret_cast<Bytef*>(out);
      stream.avail_out = sizeof out;
      deflate(&stream, more ? Z_NO_FLUSH : Z_FINISH);
      encoded.append(out, sizeof out - stream.avail_out);
    } while (stream.avail_out == 0);
    chunk.clear();
  }
  deflateEnd(&stream);
  return encoded;
}

// The process's peak resident memory since the last Reset, in bytes.
class PeakMemory {
 public:
  PeakMemory() {
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";
    clear.close();
    EXPECT_TRUE(clear.good()) << "cannot reset the peak resident memory";
    base_ = Read("VmRSS:");
  }
  std::size_t Grown() const { return Read("VmHWM:") - base_; }

 private:
  static std::size_t Read(const std::string& key) {
    std::ifstream status("/proc/self/status");
    for (std::string word; status >> word;) {
      if (word == key) {
        std::size_t kb = 0;
        status >> kb;
        return kb * 1024;
      }
    }
    return 0;
  }
  std::size_t base_ = 0;
};

// Crafted transcripts are refused with a reason, in bounded memory: a zlib bomb, a flood of
// empty pieces, more console bytes than a transcript keeps.
TEST(TranscriptTest, CraftedTranscriptsAreRefusedInBoundedMemory) {
  constexpr std::size_t kMiB = 1024 * 1024;
  // A body of a first part, then a mebibyte of `fill` n times.
  const auto body = [](std::string first, char fill, int n) {
    const std::string mib(kMiB, fill);
    return Crafted([=, left = n](std::string* chunk) mutable {
      *chunk += first;
      first.clear();
      *chunk += mib;
      return --left > 0;
    });
  };
  // An empty piece from the device at the same time is two zero bytes; a piece of 5 MiB from
  // the device starts with its time step (0) and its length, 5 MiB * 2, as a varint.
  const std::vector<std::pair<std::string, std::string>> crafted = {
      {"256 MB of empty pieces", body("", '\0', 256)},
      {"8 MB of empty pieces", body("", '\0', 8)},
      {"a piece of 5 MB", body(std::string("\0\x80\x80\x80\x05", 5), 'x', 5)},
  };
  for (const auto& [what, encoded] : crafted) {
    EXPECT_LT(encoded.size(), 1200u * 1024) << what;
    PeakMemory memory;
    std::vector<Transcript::Piece> pieces;
    std::uint64_t cut = 0;
    std::string error;
    EXPECT_FALSE(Transcript::Decode(encoded, &pieces, &cut, &error)) << what;
    EXPECT_EQ(error.rfind("not a transcript (", 0), 0u) << what << ": " << error;
    EXPECT_LT(memory.Grown(), 40 * kMiB) << what;
  }
}

}  // namespace
}  // namespace pelorus::pool
