// Console bytes as the record keeps them. A device's line is whatever bytes the console gave:
// a server that stores text takes valid UTF-8 only, and a NUL ends a C string, so the record
// keeps a text form that says every byte and reads the same on every store.
#include <cstdio>
#include <string>

#include "pool/address_pool.h"
#include "pool/utf8.h"

namespace pelorus::pool {

std::string EscapeConsoleLine(const std::string& bytes) {
  std::string text;
  text.reserve(bytes.size());
  std::size_t at = 0;
  while (at < bytes.size()) {
    const std::size_t length = Utf8SequenceAt(bytes, at);
    if (length == 0 || (IsControlCharacter(bytes, at, length) && bytes[at] != '\t')) {
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
