#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace pelorus::pool {

// A 48-bit MAC address as a number, the first octet most significant.
using Mac48 = std::uint64_t;
constexpr Mac48 kMac48Last = 0xFFFFFFFFFFFFULL;

// "00-1A-2B-3C-4D-5E" or "00:1A:2B:3C:4D:5E": six octets of exactly two hex digits (either
// case) with one separator kind throughout; nullopt for anything else.
std::optional<Mac48> ParseMac48(std::string_view text);
// Upper-case octets joined by separator.
std::string FormatMac48(Mac48 address, char separator = '-');
// The group bit (broadcast, multicast): no device may take such an address.
constexpr bool IsGroupAddress(Mac48 address) {
  return ((address >> 40) & 1) != 0;
}

}  // namespace pelorus::pool
