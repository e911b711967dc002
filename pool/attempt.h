#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "programming/mac48.h"

namespace pelorus::pool {

// How one attempt of a board at a station ended.
enum class AttemptOutcome {
  kVerified,       // the device read the address back as written
  kWrongReadBack,  // the device read back something else
  kNoReadBack,     // no read-back: the board went on to a new boot, or the run was reset or
                   // ended, before it confirmed
  kPortLost,       // the port went away during the attempt
  kWindowEnded,    // the window itself ended (killed, power lost) after the address went out:
                   // found when the station starts again
};
// "verified", "wrong read-back", "no read-back", "port lost", "window ended".
const char* OutcomeName(AttemptOutcome outcome);
// The outcome OutcomeName gives name, nullopt for any other text.
std::optional<AttemptOutcome> OutcomeFromName(const std::string& name);

// One attempt of a board at a station, from the console's CODE line (or the first sign of the
// board) to its end, as the record keeps it. Times are UTC, ISO 8601 with milliseconds
// ("2026-12-06T09:41:07.250Z"), empty where the step did not happen; ended_at is always set.
struct Attempt {
  std::int64_t id = 0;  // given by the store
  std::string pool;
  std::string station;
  std::string port;
  std::optional<Mac48> address;  // the address written, if the address command went out
  AttemptOutcome outcome = AttemptOutcome::kVerified;
  std::string code_at;           // CODE answered
  std::string written_at;        // address command sent
  std::string readback_sent_at;  // read-back command sent
  std::string matched_at;        // the read-back matched
  std::string ended_at;
  std::uint64_t transcript_bytes = 0;  // console bytes kept in the transcript, before compression
  std::uint64_t transcript_cut = 0;    // console bytes left out past the transcript's cap
};

}  // namespace pelorus::pool
