#include "programming/mac_address_fields.h"

#include <climits>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "recording_surroundings.h"

namespace pelorus {
namespace {

using ::testing::ElementsAre;

class MacAddressFieldsTest : public ::testing::Test {
 protected:
  MacAddressFieldsTest() { window_.Attach(fields_); }

  void SetStrings(const std::vector<std::string>& octets) {
    window_.UseStringsAsSet();
    for (int k = 1; k <= 6; ++k) {
      fields_.Octet(k) = octets[k - 1];
    }
  }
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

  window_.Type({"", "1B", "2C", "X", "4E", "5F"});
  EXPECT_EQ(fields_.ValidateOctets(), -1);
  window_.Type({"00", "1B", "2C", "3D", "4E", "7"});
  EXPECT_EQ(fields_.ValidateOctets(), -6);
  // Broadcast and multicast addresses (the group bit, an odd first octet) are no station's.
  window_.Type({"FF", "FF", "FF", "FF", "FF", "FF"});
  EXPECT_EQ(fields_.ValidateOctets(), -1);
  window_.Type({"01", "00", "5E", "00", "00", "01"});
  EXPECT_EQ(fields_.ValidateOctets(), -1);
  window_.Type({"03", "1B", "0G", "3D", "4E", "5F"});
  EXPECT_EQ(fields_.ValidateOctets(), -1);
  window_.Type({"FE", "FF", "FF", "FF", "FF", "FF"});
  EXPECT_EQ(fields_.ValidateOctets(), 0);

  // Lower case only reaches the strings through a step, never through a load.
  SetStrings({"00", "11", "22", "33", "4e", "55"});
  EXPECT_EQ(fields_.ValidateOctets(), -5);
  SetStrings({"00", "11", "ABC", "33", "44", "55"});
  EXPECT_EQ(fields_.ValidateOctets(), -3);
}

TEST_F(MacAddressFieldsTest, ParseReadsHexTheWayStrtolDoes) {
  SetStrings({"0A", "ff", "", "zz", " -F", "0x1G"});
  EXPECT_EQ(fields_.ParseOctet(1), 10);
  EXPECT_EQ(fields_.ParseOctet(2), 255);
  EXPECT_EQ(fields_.ParseOctet(3), 0);
  EXPECT_EQ(fields_.ParseOctet(4), 0);
  EXPECT_EQ(fields_.ParseOctet(5), -15);
  EXPECT_EQ(fields_.ParseOctet(6), 1);
  fields_.OCTET1 = "FFFFFFFFFFFF";
  fields_.OCTET2 = "-FFFFFFFFFFFF";
  EXPECT_EQ(fields_.ParseOctet(1), INT_MAX);
  EXPECT_EQ(fields_.ParseOctet(2), INT_MIN);
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

TEST_F(MacAddressFieldsTest, LogFormatIsBareHexFromTheStringsAsTheyAre) {
  SetStrings({"0A", "1B", "00", "FF", "02", "C3"});
  EXPECT_EQ(fields_.FormatAddressForLog(), "a:1b:0:ff:2:c3");
  SetStrings({"00", "1a", "2B", "0", "", "05"});
  EXPECT_EQ(fields_.FormatAddressForLog(), "0:1a:2b:0:0:5");
  EXPECT_TRUE(window_.calls.empty());
}

}  // namespace
}  // namespace pelorus
