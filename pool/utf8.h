#pragma once

#include <cstddef>
#include <string>

// UTF-8 as the record reads it: where a well-formed character starts and ends, and which are
// control characters. Shared by the record's escaping of console bytes, the check of names and
// pelorus-pool's JSON.
namespace pelorus::pool {

// The length of the well-formed UTF-8 sequence at bytes[at] (no overlong form, no surrogate,
// nothing past U+10FFFF), or 0 when there is none.
std::size_t Utf8SequenceAt(const std::string& bytes, std::size_t at);
// Whether the well-formed sequence of length bytes at bytes[at] is a control character:
// U+0000 ... U+001F (a tab included), U+007F or U+0080 ... U+009F.
bool IsControlCharacter(const std::string& bytes, std::size_t at, std::size_t length);

}  // namespace pelorus::pool
