#pragma once

#include <string>

namespace pelorus::bench {

// The benchmarks speak to bench/run.sh on stdout: a line "ROW|figure|goal|measured|verdict"
// is one row of the final table; any other line is a detail shown while the run goes on.
void PrintRow(const std::string& figure, const std::string& goal, const std::string& measured,
              const std::string& verdict);
void PrintDetail(const std::string& text);

// printf into a std::string.
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
// "met" or "MISSED".
std::string Verdict(bool met);

}  // namespace pelorus::bench
