#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "pool/attempt.h"
#include "programming/mac48.h"

namespace pelorus {

// What a run tells whoever shows it (the window, the rack station). Every call comes on the
// run's thread and must return at once: a view queues it for its own thread. `run` is the
// number Run::Start gave, so a view can tell news of a run it has already let go.
class RunObserver {
 public:
  virtual ~RunObserver() = default;

  enum class StatusKind {
    kPort,   // the port was lost and is waited for; empty once it is back
    kStore,  // the store does not answer and is waited for; empty once it answers
  };
  enum class MessageKind { kInformation, kWarning };

  // The run has its port open and answers the device; address_line is what the log shows of
  // the address it starts with.
  virtual void RunStarted(std::uint64_t run, const std::string& address_line) = 0;
  // The run could not start (the port would not open, the pool gave no address): text is
  // what the operator is told, detail why. The run has ended.
  virtual void RunFailed(std::uint64_t run, const std::string& text, const std::string& detail) = 0;
  // The run has ended (stopped, or it could not go on): its port is closed, its station's
  // claim is given back, and it sends nothing more. Comes last for every run.
  virtual void RunEnded(std::uint64_t run) = 0;

  // Console bytes as the device sent them, in the order they came.
  virtual void Log(const std::string& bytes) = 0;
  // A line of the run's own for the log, between the device's lines (a journal mark put on
  // record, an address held back); the pool's last word to the operator until the next.
  virtual void LogNote(const std::string& note) = 0;
  // The run's address changed (a step, a lease): the six octet strings.
  virtual void Address(std::uint64_t run, const std::array<std::string, 6>& octets) = 0;
  // A board was verified: shows the result banner; the run waits for Run::BannerClosed.
  virtual void Banner(std::uint64_t run, const std::string& text) = 0;
  // Something the operator must read; the run does not wait for it.
  virtual void Message(std::uint64_t run, MessageKind kind, const std::string& text,
                       const std::string& detail) = 0;
  virtual void Status(StatusKind kind, const std::string& text) = 0;
  // A board's attempt went on record (attempt.id the store's) or, while the store fails, into
  // the station's journal (attempt.id 0). With a pool only; a view may leave it.
  virtual void AttemptRecorded(std::uint64_t run, const pool::Attempt& attempt) {
    (void)run;
    (void)attempt;
  }

  // The pool's part, between runs as well: the station's leased address (nullopt: none),
  // and the line that sums up the pool.
  virtual void StationAddress(std::optional<Mac48> address) = 0;
  virtual void PoolLine(const std::string& line) = 0;
};

}  // namespace pelorus
