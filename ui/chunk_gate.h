#pragma once

#include <chrono>
#include <deque>
#include <functional>

#include "ui/precise_wait.h"

namespace pelorus {

// The window's side of a chunk in the dialogue's hands. While the dialogue handles a chunk
// (its waits and the result banner run the event loop), other work must not cut in: the port
// must not close under the handler, a second chunk must not start inside it, and a message
// box must not stand on top of the conversation. Such work is deferred until the chunk is
// done, in the order it came.
//
// The operator may still end the run meanwhile (RESET, END): the chunk is then stopped at
// once, its waits end, and nothing more may go to the device; the ending itself follows as
// soon as the handler has returned.
class ChunkGate {
 public:
  using WaitFunction = std::function<void(std::chrono::milliseconds)>;

  // Replaces how a wait passes the time (tests); by default the event loop runs for the time
  // given, precisely. A stop still ends the chunk's waits either way.
  void SetWaitFunction(WaitFunction wait);

  // Runs handle as the chunk's work, then whatever was deferred meanwhile. A chunk that comes
  // while another is in hand waits its turn.
  void RunChunk(const std::function<void()>& handle);
  bool InChunk() const { return in_chunk_; }

  // Runs action now when no chunk is in hand, otherwise once the chunk is done.
  void OutsideChunk(std::function<void()> action);
  // Stops the chunk in hand (if any) and runs action once it is done (at once without one).
  void StopChunkThen(std::function<void()> action);
  // The chunk in hand was stopped: nothing more may be sent for it.
  bool Stopped() const { return stopped_; }

  // Lets duration pass for the dialogue, counted from `from`. True when it passed, false when
  // the chunk was stopped before or meanwhile.
  bool Wait(std::chrono::milliseconds duration, PreciseWait::Clock::time_point from);

 private:
  bool in_chunk_ = false;
  bool stopped_ = false;
  std::deque<std::function<void()>> deferred_;
  PreciseWait precise_;
  WaitFunction wait_;
};

}  // namespace pelorus
