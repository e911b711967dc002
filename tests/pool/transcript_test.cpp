#include "pool/transcript.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace pelorus::pool
