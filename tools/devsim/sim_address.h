#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace pelorus::devsim {

// The simulated bench reads and prints MAC addresses on its own, as a device's console does,
// so that what it checks does not lean on the host it checks. An address is a 48-bit number,
// the first octet most significant.
constexpr std::uint64_t kAddressMask = 0xFFFFFFFFFFFFULL;
// What a board's flash holds before anything was written.
constexpr std::uint64_t kBlankFlash = kAddressMask;

// Six octets of exactly two hex digits (either case) joined by `separator`; nullopt for
// anything else. *lower_case (when given) tells whether any digit was a lower-case letter.
std::optional<std::uint64_t> ParseAddress(std::string_view text, char separator,
                                          bool* lower_case = nullptr);
// Upper-case octets joined by separator.
std::string FormatAddress(std::uint64_t address, char separator);
// The address after `address`, FF-FF-FF-FF-FF-FF wrapping to 00-00-00-00-00-00.
constexpr std::uint64_t NextAddress(std::uint64_t address) {
  return (address + 1) & kAddressMask;
}

}  // namespace pelorus::devsim
