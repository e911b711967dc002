// Console bytes as the record keeps them. A device's line is whatever bytes the console gave:
// a server that stores text takes valid UTF-8 only, and a NUL ends a C string, so the record
// keeps a text form that says every byte and reads the same on every store.
#include <cstdio>
#include <string>

#include "pool/address_pool.h"

namespace pelorus::pool {
namespace {

// The length of the well-formed UTF-8 sequence at bytes[at] (no overlong form, no surrogate,
// nothing past U+10FFFF), or 0 when there is none.
std::size_t SequenceAt(const std::string& bytes, std::size_t at) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(bytes[at + i]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80) {
    return 1;
  }
  std::size_t length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    low = lead == 0xE0 ? 0xA0 : 0x80;
    high = lead == 0xED ? 0x9F : 0xBF;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    low = lead == 0xF0 ? 0x90 : 0x80;
    high = lead == 0xF4 ? 0x8F : 0xBF;
  } else {
    return 0;
  }
  if (at + length > bytes.size() || byte(1) < low || byte(1) > high) {
    return 0;
  }
  for (std::size_t i = 2; i < length; ++i) {
    if (byte(i) < 0x80 || byte(i) > 0xBF) {
      return 0;
    }
  }
  return length;
}

bool IsControl(const std::string& bytes, std::size_t at, std::size_t length) {
  const auto lead = static_cast<unsigned char>(bytes[at]);
  if (length == 1) {
    return (lead < 0x20 && lead != '\t') || lead == 0x7F;
  }
  // U+0080 ... U+009F, the second set of control characters.
  return length == 2 && lead == 0xC2 && static_cast<unsigned char>(bytes[at + 1]) < 0xA0;
}

}  // namespace

std::string EscapeConsoleLine(const std::string& bytes) {
  std::string text;
  text.reserve(bytes.size());
  std::size_t at = 0;
  while (at < bytes.size()) {
    const std::size_t length = SequenceAt(bytes, at);
    if (length == 0 || IsControl(bytes, at, length)) {
      const std::size_t escaped = length == 0 ? 1 : length;
      for (std::size_t i = 0; i < escaped; ++i) {
        char hex[5];
        std::snprintf(hex, sizeof hex, "\\x%02X", static_cast<unsigned char>(bytes[at + i]));
        text += hex;
      }
      at += escaped;
    } else if (bytes[at] == '\\') {
      text += "\\\\";
      ++at;
    } else {
      text.append(bytes, at, length);
      at += length;
    }
  }
  return text;
}

}  // namespace pelorus::pool
