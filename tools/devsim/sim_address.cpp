#include "sim_address.h"

namespace pelorus::devsim {
namespace {

int HexDigit(char c, bool* lower_case) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'A' && c <= 'F') {
    return c - 'A' + 10;
  }
  if (c >= 'a' && c <= 'f') {
    *lower_case = true;
    return c - 'a' + 10;
  }
  return -1;
}

}  // namespace

std::optional<std::uint64_t> ParseAddress(std::string_view text, char separator, bool* lower_case) {
  constexpr std::size_t kLength = 17;
  bool lower = false;
  if (text.size() != kLength) {
    return std::nullopt;
  }
  std::uint64_t address = 0;
  for (std::size_t octet = 0; octet < 6; ++octet) {
    const std::size_t at = octet * 3;
    const int high = HexDigit(text[at], &lower);
    const int low = HexDigit(text[at + 1], &lower);
    if (high < 0 || low < 0 || (octet < 5 && text[at + 2] != separator)) {
      return std::nullopt;
    }
    address = (address << 8) | static_cast<std::uint64_t>(high * 16 + low);
  }
  if (lower_case != nullptr) {
    *lower_case = lower;
  }
  return address;
}

std::string FormatAddress(std::uint64_t address, char separator) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  for (int octet = 5; octet >= 0; --octet) {
    const auto value = static_cast<unsigned>((address >> (8 * octet)) & 0xFF);
    text += kDigits[value >> 4];
    text += kDigits[value & 0xF];
    if (octet > 0) {
      text += separator;
    }
  }
  return text;
}

}  // namespace pelorus::devsim
