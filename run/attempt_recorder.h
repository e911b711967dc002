#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "pool/attempt.h"
#include "pool/station_state.h"
#include "pool/transcript.h"

namespace pelorus {

// The board attempts of a run on a pool, as the record keeps them: what the
// dialogue did for each board and when, and its console both ways. An attempt begins where
// the interrupt answers a "CODE" line and ends at its read-back (verified or wrong), at the
// next board's "CODE" line, or when the run ends or loses its port; its transcript holds
// every byte from the end of the attempt before. The run's thread only; storing a finished
// attempt is the caller's.
class AttemptRecorder {
 public:
  struct Finished {
    pool::Attempt attempt;
    pool::Transcript transcript;
  };

  // Console bytes from the device and to it, now.
  void FromDevice(const char* bytes, std::size_t n);
  void ToDevice(const char* bytes, std::size_t n);

  // A board's attempt begins; one still open ends first, as no read-back, into *ended.
  void Begin(std::optional<Finished>* ended);
  // The address that the address command carries, and the port it goes through.
  void Writing(Mac48 address, const std::string& port);
  void AddressSent();
  void ReadBackSent();
  // The open attempt ends with outcome (now); nullopt when none is open. The transcript goes
  // with it, and the next attempt's begins empty.
  std::optional<Finished> End(pool::AttemptOutcome outcome);
  // Forgets the console and any open attempt: a new run begins.
  void Reset();

  bool Open() const { return open_; }
  const std::string& CodeAt() const { return attempt_.code_at; }

 private:
  bool open_ = false;
  pool::Attempt attempt_;
  pool::Transcript transcript_;
};

}  // namespace pelorus
