#include "programming/mac_address_fields.h"

#include <gtest/gtest.h>

#include "recording_surroundings.h"

namespace pelorus {
namespace {

using Calls = std::vector<std::string>;

class MacAddressFieldsTest : public ::testing::Test {
 protected:
  testing::RecordingSurroundings window_;
  MacAddressFields& fields_ = window_.fields;
};

// The first failing octet is reported and only a valid address is stored. The group bit (an
// odd first octet: broadcast and multicast) makes an address no station's. Lower case only a
// step leaves in the strings; a box never holds three digits.
TEST_F(MacAddressFieldsTest, ValidationReportsTheFirstFailingOctetAndStoresOnlyWhenValid) {
  const std::pair<const char*, int> cases[] = {
      {"0A:1B:2C:3D:4E:5F", 0},  {"0A:1B:0G:3D:4E:5F", -3}, {":1B:2C:X:4E:5F", -1},
      {"00:1B:2C:3D:4E:7", -6},  {"FF:FF:FF:FF:FF:FF", -1}, {"01:00:5E:00:00:01", -1},
      {"03:1B:0G:3D:4E:5F", -1}, {"FE:FF:FF:FF:FF:FF", 0},  {"00:11:22:33:4e:55", -5},
      {"00:11:ABC:33:44:55", -3}};
  for (const auto& [typed, result] : cases) {
    window_.calls.clear();
    window_.boxes = typed;
    EXPECT_EQ(fields_.ValidateOctets(), result) << typed;
    EXPECT_EQ(window_.calls, (result == 0 ? Calls{"Load", "Store"} : Calls{"Load"})) << typed;
  }
}

// `to` empty: the step would reach a group address and is refused, leaving the strings.
TEST_F(MacAddressFieldsTest, StepCarriesAndBorrowsAcrossAllOctetsAndNeverReachesAGroupAddress) {
  const auto step = [this](const std::string& from, int direction, const std::string& to) {
    window_.calls.clear();
    window_.boxes = from;
    EXPECT_EQ(fields_.StepAddress(direction), !to.empty()) << from;
    EXPECT_EQ(fields_.Joined(":"), to.empty() ? from : to);
    EXPECT_EQ(window_.calls, (to.empty() ? Calls{"Load"} : Calls{"Load", "Store", "Scroll"}));
  };
  step("0A:1B:2C:3D:4E:5E", +1, "0a:1b:2c:3d:4e:5f");
  step("00:00:00:00:00:FF", +1, "00:00:00:00:01:00");
  step("12:34:FF:FF:FF:FF", +1, "12:35:00:00:00:00");
  step("01:FF:FF:FF:FF:FF", +1, "02:00:00:00:00:00");
  step("FF:FF:FF:FF:FF:FF", +1, "00:00:00:00:00:00");
  step("00:00:00:00:01:00", -1, "00:00:00:00:00:ff");
  step("03:00:00:00:00:00", -1, "02:ff:ff:ff:ff:ff");
  step("6::A:-F:-1:-F", +1, "06:00:0a:f1:ff:f2");
  step("00:FF:FF:FF:FF:FF", +1, "");
  step("FE:FF:FF:FF:FF:FF", +1, "");
  step("02:00:00:00:00:00", -1, "");
  step("00:00:00:00:00:00", -1, "");
}

}  // namespace
}  // namespace pelorus
