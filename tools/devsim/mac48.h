#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace pelorus::devsim {

// A 48-bit MAC address held in the low bits of a uint64_t, first octet most significant.
constexpr std::uint64_t kMacMask = (std::uint64_t{1} << 48) - 1;

// Six upper-case two-digit octets joined by `separator`, e.g. "00-1A-2B-3C-4D-5E".
std::string FormatMac(std::uint64_t address, char separator);

// Reads exactly six two-digit hex octets joined by `separator`. Letters of either case are
// accepted; *lower_case (if given) tells whether any was lower case. False if `text` is
// anything else.
bool ParseMac(std::string_view text, char separator, std::uint64_t* address, bool* lower_case);

// The address after `address`, wrapping from FF-FF-FF-FF-FF-FF to 00-00-00-00-00-00.
inline std::uint64_t NextMac(std::uint64_t address) {
  return (address + 1) & kMacMask;
}

}  // namespace pelorus::devsim
