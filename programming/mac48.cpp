#include "programming/mac48.h"

#include <cstdio>

namespace pelorus {
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

std::optional<Mac48> ParseMac48(std::string_view text, std::string_view separators,
                                bool* lower_case) {
  if (text.size() != 17 || separators.find(text[2]) == std::string_view::npos) {
    return std::nullopt;
  }
  bool lower = false;
  Mac48 address = 0;
  for (std::size_t octet = 0; octet < 6; ++octet) {
    const std::size_t at = octet * 3;
    const int high = HexValue(text[at], &lower);
    const int low = HexValue(text[at + 1], &lower);
    if (high < 0 || low < 0 || (octet < 5 && text[at + 2] != text[2])) {
      return std::nullopt;
    }
    address = (address << 8) | static_cast<Mac48>(high * 16 + low);
  }
  if (lower_case != nullptr) {
    *lower_case = lower;
  }
  return address;
}

std::string FormatMac48(Mac48 address, char separator) {
  char text[18];
  std::snprintf(text, sizeof text, "%02X%c%02X%c%02X%c%02X%c%02X%c%02X",
                static_cast<unsigned>((address >> 40) & 0xFF), separator,
                static_cast<unsigned>((address >> 32) & 0xFF), separator,
                static_cast<unsigned>((address >> 24) & 0xFF), separator,
                static_cast<unsigned>((address >> 16) & 0xFF), separator,
                static_cast<unsigned>((address >> 8) & 0xFF), separator,
                static_cast<unsigned>(address & 0xFF));
  return text;
}

}  // namespace pelorus
