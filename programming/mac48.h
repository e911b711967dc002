#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace pelorus {

// A 48-bit MAC address as a number, the first octet most significant: the form in which the
// address pool stores addresses and the simulated device checks them.
using Mac48 = std::uint64_t;
constexpr Mac48 kMac48Last = 0xFFFFFFFFFFFFULL;

// Six octets of exactly two hex digits (either case) joined by one of `separators`, the same
// one throughout, as in "00-1A-2B-3C-4D-5E"; nullopt for anything else. *lower_case (when
// given) tells whether any digit was a lower-case letter.
std::optional<Mac48> ParseMac48(std::string_view text,
                                std::string_view separators = "-:", bool* lower_case = nullptr);
// Upper-case octets joined by separator.
std::string FormatMac48(Mac48 address, char separator = '-');
// The address after `address`, FF-FF-FF-FF-FF-FF wrapping to 00-00-00-00-00-00.
constexpr Mac48 NextMac48(Mac48 address) {
  return (address + 1) & kMac48Last;
}
// The group bit (broadcast, multicast): no device may take such an address.
constexpr bool IsGroupAddress(Mac48 address) {
  return ((address >> 40) & 1) != 0;
}

}  // namespace pelorus
