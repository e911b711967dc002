#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>

namespace pelorus {

// What reaches a run from outside its thread: the port's news, the operator's commands and
// the stop. Any thread may post; only the run's thread takes. Waiting never polls: a condition
// variable wakes the run's thread for a post or a stop, and an eventfd, readable once the run
// is stopped, wakes waits that sit in poll() on other descriptors beside it.
//
// Runs follow one another on the same thread: each Begin starts a run with a number of its
// own, and Stop ends every run begun before it, so a stop never reaches a run begun after it.
class Mailbox {
 public:
  using Clock = std::chrono::steady_clock;

  struct Event {
    enum class Kind {
      kPortData,      // a chunk lies in the port's buffer: value is its ticket
      kPortLost,      // the port went away: value is the ticket
      kStep,          // the operator stepped the address: value is +1 or -1
      kBannerClosed,  // the result banner was closed
      kStart,         // a run is asked for: value is its number
      kStatus,        // the view asks for the station's address and status line
      kQuit,          // the run's thread is to end
    };
    Kind kind;
    std::int64_t value = 0;
  };

  Mailbox();
  ~Mailbox();
  Mailbox(const Mailbox&) = delete;
  Mailbox& operator=(const Mailbox&) = delete;

  void Post(Event event);
  // Numbers a new run and posts its kStart; the run is not stopped until the next Stop.
  std::uint64_t Begin();
  // Stops every run begun so far, the one under way included; waits end at once.
  void Stop();
  // Whether run was stopped.
  bool Stopped(std::uint64_t run) const;

  // The next event; nullopt when deadline passed, or (when run is not 0) run was stopped first.
  std::optional<Event> Next(std::uint64_t run,
                            Clock::time_point deadline = Clock::time_point::max());
  // Lets time pass until deadline; false when run was stopped first.
  bool SleepUntil(std::uint64_t run, Clock::time_point deadline);
  // Readable from the first Stop on, until Rearm.
  int StopFd() const { return stop_fd_; }
  // Quiets StopFd once the stopped run has ended, so that the next run's waits are not woken.
  void Rearm();

 private:
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Event> events_;
  std::uint64_t begun_ = 0;
  std::uint64_t stopped_ = 0;  // every run up to this number is stopped
  int stop_fd_ = -1;
};

}  // namespace pelorus
