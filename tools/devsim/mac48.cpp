#include "mac48.h"

namespace pelorus::devsim {
namespace {

int HexValue(char c, bool* lower) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'A' && c <= 'F') {
    return c - 'A' + 10;
  }
  if (c >= 'a' && c <= 'f') {
    *lower = true;
    return c - 'a' + 10;
  }
  return -1;
}

}  // namespace

std::string FormatMac(std::uint64_t address, char separator) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  for (int i = 5; i >= 0; --i) {
    const unsigned octet = (address >> (8 * i)) & 0xFF;
    text += kDigits[octet >> 4];
    text += kDigits[octet & 0xF];
    if (i > 0) {
      text += separator;
    }
  }
  return text;
}

bool ParseMac(std::string_view text, char separator, std::uint64_t* address, bool* lower_case) {
  if (text.size() != 17) {
    return false;
  }
  bool lower = false;
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < 6; ++i) {
    const int hi = HexValue(text[3 * i], &lower);
    const int lo = HexValue(text[3 * i + 1], &lower);
    if (hi < 0 || lo < 0 || (i < 5 && text[3 * i + 2] != separator)) {
      return false;
    }
    value = (value << 8) | static_cast<std::uint64_t>(hi * 16 + lo);
  }
  *address = value;
  if (lower_case != nullptr) {
    *lower_case = lower;
  }
  return true;
}

}  // namespace pelorus::devsim
