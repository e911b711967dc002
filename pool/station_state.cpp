#include "pool/station_state.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <iterator>

namespace pelorus::pool {
namespace {

constexpr const char* kActivityTexts[] = {
    "idle",      "waiting for a board",   "writing", "verifying", "verified", "failed",
    "port lost", "waiting for the store",
};
static_assert(std::size(kActivityTexts) ==
              static_cast<std::size_t>(StationActivity::kWaitingForStore) + 1);

}  // namespace

const char* ActivityText(StationActivity activity) {
  const auto index = static_cast<std::size_t>(activity);
  return index < std::size(kActivityTexts) ? kActivityTexts[index] : "?";
}

std::optional<StationActivity> ParseActivity(const std::string& text) {
  for (std::size_t i = 0; i < std::size(kActivityTexts); ++i) {
    if (text == kActivityTexts[i]) {
      return static_cast<StationActivity>(i);
    }
  }
  return std::nullopt;
}

std::string UtcNowText() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[40];
  const std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
  std::snprintf(text + length, sizeof text - length, ".%03dZ", static_cast<int>(ms));
  return text;
}

}  // namespace pelorus::pool
