#include "tools/pool/json_text.h"

#include <cstdio>

#include "pool/utf8.h"

namespace pelorus::pool {

std::string JsonText(const std::string& text) {
  std::string json = "\"";
  json.reserve(text.size() + 2);
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t length = Utf8SequenceAt(text, at);
    const auto byte = static_cast<unsigned char>(text[at]);
    char escaped[8];
    if (length == 0) {
      std::snprintf(escaped, sizeof escaped, "\\\\x%02X", byte);
      json += escaped;
      at += 1;
      continue;
    }
    if (IsControlCharacter(text, at, length)) {
      const unsigned code =
          length == 1 ? byte : static_cast<unsigned char>(text[at + 1]);  // U+0080 ... U+009F
      std::snprintf(escaped, sizeof escaped, "\\u%04X", code);
      json += escaped;
    } else if (byte == '"' || byte == '\\') {
      json += '\\';
      json += text[at];
    } else {
      json.append(text, at, length);
    }
    at += length;
  }
  return json + '"';
}

}  // namespace pelorus::pool
