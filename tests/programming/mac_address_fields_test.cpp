#include "programming/mac_address_fields.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "recording_surroundings.h"

namespace pelorus {
namespace {

using ::testing::ElementsAre;

class MacAddressFieldsTest : public ::testing::Test {
 protected:
  MacAddressFieldsTest() { window_.Attach(fields_); }

  std::vector<std::string> Strings() const {
    return {fields_.OCTET1, fields_.OCTET2, fields_.OCTET3,
            fields_.OCTET4, fields_.OCTET5, fields_.OCTET6};
  }

  testing::RecordingSurroundings window_;
  MacAddressFields fields_{window_};
};

TEST_F(MacAddressFieldsTest, ValidationReportsTheFirstFailingOctetAndStoresOnlyWhenValid) {
  window_.Type({"0A", "1B", "2C", "3D", "4E", "5F"});
  EXPECT_EQ(fields_.ValidateOctets(), 0);
  EXPECT_THAT(window_.calls, ElementsAre("Load", "Store"));

  window_.calls.clear();
  window_.Type({"0A", "1B", "0G", "3D", "4E", "5F"});
  EXPECT_EQ(fields_.ValidateOctets(), -3);
  EXPECT_THAT(window_.calls, ElementsAre("Load"));

  // The group bit (an odd first octet: broadcast and multicast) makes an address no
  // station's. Lower case only a step leaves in the strings; a box never holds three digits.
  const std::pair<std::vector<std::string>, int> cases[] = {
      {{"", "1B", "2C", "X", "4E", "5F"}, -1},    {{"00", "1B", "2C", "3D", "4E", "7"}, -6},
      {{"FF", "FF", "FF", "FF", "FF", "FF"}, -1}, {{"01", "00", "5E", "00", "00", "01"}, -1},
      {{"03", "1B", "0G", "3D", "4E", "5F"}, -1}, {{"FE", "FF", "FF", "FF", "FF", "FF"}, 0},
      {{"00", "11", "22", "33", "4e", "55"}, -5}, {{"00", "11", "ABC", "33", "44", "55"}, -3}};
  for (const auto& [typed, result] : cases) {
    window_.Type(typed);
    EXPECT_EQ(fields_.ValidateOctets(), result) << ::testing::PrintToString(typed);
  }
}

// `to` empty: the step would reach a group address and is refused.
struct StepCase {
  std::vector<std::string> from;
  int direction;
  std::vector<std::string> to;
};

class StepTest : public MacAddressFieldsTest, public ::testing::WithParamInterface<StepCase> {};

TEST_P(StepTest, CarriesAndBorrowsAcrossAllOctetsAndNeverReachesAGroupAddress) {
  window_.Type(GetParam().from);
  const bool stepped = fields_.StepAddress(GetParam().direction);
  if (GetParam().to.empty()) {
    EXPECT_FALSE(stepped);
    EXPECT_EQ(Strings(), GetParam().from);
    EXPECT_THAT(window_.calls, ElementsAre("Load"));
  } else {
    EXPECT_TRUE(stepped);
    EXPECT_EQ(Strings(), GetParam().to);
    EXPECT_THAT(window_.calls, ElementsAre("Load", "Store", "Scroll"));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Addresses, StepTest,
    ::testing::Values(
        StepCase{{"0A", "1B", "2C", "3D", "4E", "5E"}, +1, {"0a", "1b", "2c", "3d", "4e", "5f"}},
        StepCase{{"00", "00", "00", "00", "00", "FF"}, +1, {"00", "00", "00", "00", "01", "00"}},
        StepCase{{"12", "34", "FF", "FF", "FF", "FF"}, +1, {"12", "35", "00", "00", "00", "00"}},
        StepCase{{"01", "FF", "FF", "FF", "FF", "FF"}, +1, {"02", "00", "00", "00", "00", "00"}},
        StepCase{{"FF", "FF", "FF", "FF", "FF", "FF"}, +1, {"00", "00", "00", "00", "00", "00"}},
        StepCase{{"00", "00", "00", "00", "01", "00"}, -1, {"00", "00", "00", "00", "00", "ff"}},
        StepCase{{"03", "00", "00", "00", "00", "00"}, -1, {"02", "ff", "ff", "ff", "ff", "ff"}},
        StepCase{{"6", "", "A", "-F", "-1", "-F"}, +1, {"06", "00", "0a", "f1", "ff", "f2"}},
        StepCase{{"00", "FF", "FF", "FF", "FF", "FF"}, +1, {}},
        StepCase{{"FE", "FF", "FF", "FF", "FF", "FF"}, +1, {}},
        StepCase{{"02", "00", "00", "00", "00", "00"}, -1, {}},
        StepCase{{"00", "00", "00", "00", "00", "00"}, -1, {}}));

}  // namespace
}  // namespace pelorus
