#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace pelorus::pool {

// What a station is doing, as it shows on the line: each station of a pool publishes it to the
// store (see AddressPool::PublishState, StatePublisher), and the store keeps the latest.
enum class StationActivity {
  kIdle,
  kWaitingForBoard,
  kWriting,
  kVerifying,
  kVerified,
  kFailed,
  kPortLost,
  kWaitingForStore,
};
// "idle", "waiting for a board", "writing", "verifying", "verified", "failed", "port lost",
// "waiting for the store".
const char* ActivityText(StationActivity activity);
// The activity ActivityText gives text, nullopt for any other text.
std::optional<StationActivity> ParseActivity(const std::string& text);

// The most bytes of a state's detail the store keeps; a longer one is cut, ending in "...".
constexpr std::size_t kDetailMaxBytes = 200;

// A station's state as the store keeps it: one row per station of a pool, the latest publish.
struct StationState {
  std::string station;
  StationActivity activity = StationActivity::kIdle;
  // kVerified: the address ("02:00:00:00:00:05"); kFailed: the reason; otherwise empty. Read
  // back as the store keeps it: escaped as console lines are (EscapeConsoleLine), at most
  // kDetailMaxBytes bytes.
  std::string detail;
  // When this activity began, UTC ISO 8601 with milliseconds ("2026-12-06T09:41:07.250Z"), by
  // the publisher's clock.
  std::string since;
  // The store's time of the last publish, in the same form: set by the store, not read on a
  // publish.
  std::string heartbeat_at;
  // Who publishes: "HOST pid N".
  std::string holder;
};

// Now, UTC, ISO 8601 with milliseconds: the form the store keeps its times in.
std::string UtcNowText();

}  // namespace pelorus::pool
