#include "result_table.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

namespace pelorus::bench {

void PrintRow(const std::string& figure, const std::string& goal, const std::string& measured,
              const std::string& verdict) {
  std::printf("ROW|%s|%s|%s|%s\n", figure.c_str(), goal.c_str(), measured.c_str(), verdict.c_str());
  std::fflush(stdout);
}

void PrintDetail(const std::string& text) {
  std::printf("  %s\n", text.c_str());
  std::fflush(stdout);
}

std::string Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  const int length = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  std::vector<char> text(static_cast<std::size_t>(length > 0 ? length : 0) + 1);
  std::vsnprintf(text.data(), text.size(), format, again);
  va_end(again);
  return std::string(text.data());
}

std::string Verdict(bool met) {
  return met ? "met" : "MISSED";
}

}  // namespace pelorus::bench
