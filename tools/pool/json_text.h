#pragma once

#include <string>

namespace pelorus::pool {

// text as a JSON string, quotes included, for every JSON that pelorus-pool writes. Valid
// UTF-8 stays as it is, but for a quote and a backslash, which are escaped, and control
// characters, which become \u00XX; a byte that is not UTF-8 (a name put on record before
// names were checked) becomes the text \xNN, as the record shows such console bytes.
std::string JsonText(const std::string& text);

}  // namespace pelorus::pool
