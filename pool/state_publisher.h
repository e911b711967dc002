#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "pool/address_pool.h"
#include "pool/station_state.h"

namespace pelorus::pool {

// Publishes the states of a process's stations to one pool of a store, one publisher per
// process: the latest state of each station goes on record (AddressPool::PublishState) from a
// thread of the publisher's own, over a store connection of its own, so that no port's thread
// ever waits on the store for it. Each station's row is written again every heartbeat while
// nothing changes, so that a row whose heartbeat stands still tells of a station gone.
//
// A store that cannot be reached or fails a step is tried again after a back-off (250 ms,
// doubling up to 5 s); meanwhile each station keeps its latest state, and an older one never
// lands after it. A state the pool refuses (an unknown pool, a station name that is no name)
// is dropped until the station's next change or heartbeat; LastError says why.
class StatePublisher {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::milliseconds kFirstBackOff{250};
  static constexpr std::chrono::milliseconds kLastBackOff{5000};
  // How long the destructor waits for the stations' last states before it interrupts the
  // store.
  static constexpr std::chrono::milliseconds kFarewell{1000};

  // How the publisher's thread tells time and waits: the steady clock unless a test gives
  // its own.
  struct Timing {
    // How often each station's row is written again while nothing changes.
    std::chrono::milliseconds heartbeat{std::chrono::seconds(5)};
    // How long one publish waits for a store that another holds locked.
    std::chrono::milliseconds lock_wait{AddressPool::kLockWaitMs};
    std::function<Clock::time_point()> now = [] { return Clock::now(); };
    // Waits on wake, lock held, until wake is notified or now() reaches until
    // (Clock::time_point::max(): until notified); it may return sooner.
    std::function<void(std::condition_variable& wake, std::unique_lock<std::mutex>& lock,
                       Clock::time_point until)>
        wait_until = [](std::condition_variable& wake, std::unique_lock<std::mutex>& lock,
                        Clock::time_point until) {
          if (until == Clock::time_point::max()) {
            wake.wait(lock);
          } else {
            wake.wait_until(lock, until);
          }
        };
  };

  // Publishes to pool pool_name of the store at location (opened as AddressPool::Open does,
  // never created).
  explicit StatePublisher(std::string location, std::string pool_name,
                          std::chrono::milliseconds heartbeat = std::chrono::seconds(5));
  explicit StatePublisher(std::string location, std::string pool_name, Timing timing);
  // Publishes each station it has known as idle, best effort: after kFarewell the store step
  // under way is interrupted, and the thread ends with it (a thread still connecting to the
  // store, which no interruption reaches, is left to end on its own).
  ~StatePublisher();
  StatePublisher(const StatePublisher&) = delete;
  StatePublisher& operator=(const StatePublisher&) = delete;

  // Any thread, never waiting on the store: state becomes its station's latest, its holder
  // ("HOST pid N") filled in here; a state not yet on record gives way to it. Dropped once
  // the publisher is being destroyed.
  void Publish(const StationState& state);
  // States put on record, heartbeats included. Any thread.
  std::uint64_t Published() const;
  // Why the last round of publishing (or opening the store) failed or was refused; empty when
  // all of it went on record. Any thread.
  std::string LastError() const;

 private:
  struct Shared;

  // The publisher's thread: owns the store connection and shares the rest.
  static void Run(const std::shared_ptr<Shared>& shared);

  std::shared_ptr<Shared> shared_;
  std::thread thread_;
};

}  // namespace pelorus::pool
