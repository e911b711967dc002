#include "pool/state_publisher.h"

#include <unistd.h>

#include <algorithm>
#include <map>
#include <utility>
#include <vector>

namespace pelorus::pool {
namespace {

std::string ThisProcess() {
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  return std::string(host) + " pid " + std::to_string(getpid());
}

}  // namespace

// What the publisher and its thread share; the thread keeps it alive past the publisher when
// it is left to end on its own.
struct StatePublisher::Shared {
  Shared(std::string location_in, std::string name_in, Timing timing_in)
      : location(std::move(location_in)),
        name(std::move(name_in)),
        timing(std::move(timing_in)),
        holder(ThisProcess()) {}

  // One station: its latest state, and how far the record has come.
  struct Entry {
    StationState state;
    std::uint64_t version = 0;    // moved by each Publish
    std::uint64_t on_record = 0;  // the version last put on record (or dropped as refused)
    Clock::time_point due;        // when the row is to be written again though unchanged
  };

  const std::string location;
  const std::string name;
  const Timing timing;
  const std::string holder;

  mutable std::mutex mutex;
  std::condition_variable wake;   // the thread's: a change, or the end
  std::condition_variable ended;  // the destructor's: done, or connecting
  std::map<std::string, Entry> stations;
  bool stopping = false;
  bool interrupted = false;
  bool done = false;
  bool connecting = false;       // the thread is opening the store
  AddressPool* store = nullptr;  // the thread's open store, for Interrupt
  std::uint64_t published = 0;
  std::string last_error;
};

StatePublisher::StatePublisher(std::string location, std::string pool_name,
                               std::chrono::milliseconds heartbeat)
    : StatePublisher(std::move(location), std::move(pool_name), [heartbeat] {
        Timing timing;
        timing.heartbeat = heartbeat;
        return timing;
      }()) {}

StatePublisher::StatePublisher(std::string location, std::string pool_name, Timing timing)
    : shared_(
          std::make_shared<Shared>(std::move(location), std::move(pool_name), std::move(timing))),
      thread_([shared = shared_] { Run(shared); }) {}

StatePublisher::~StatePublisher() {
  Shared& s = *shared_;
  std::unique_lock<std::mutex> lock(s.mutex);
  s.stopping = true;
  const std::string since = UtcNowText();
  for (auto& [station, entry] : s.stations) {
    entry.state.activity = StationActivity::kIdle;
    entry.state.detail.clear();
    entry.state.since = since;
    ++entry.version;
  }
  s.wake.notify_all();
  const auto finished = [&s] { return s.done; };
  if (!s.ended.wait_for(lock, kFarewell, finished)) {
    s.interrupted = true;
    if (s.store != nullptr) {
      s.store->Interrupt();
    }
    // An interrupted step ends well within a second. Connecting is the one wait no
    // interruption reaches: such a thread is left to end once the connection is made or has
    // failed, touching nothing but what it shares.
    s.ended.wait(lock, [&s] { return s.done || s.connecting; });
  }
  const bool done = s.done;
  lock.unlock();
  if (done) {
    thread_.join();
  } else {
    thread_.detach();
  }
}

void StatePublisher::Publish(const StationState& state) {
  Shared& s = *shared_;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.stopping) {
      return;
    }
    Shared::Entry& entry = s.stations[state.station];
    entry.state = state;
    entry.state.holder = s.holder;
    entry.state.heartbeat_at.clear();
    ++entry.version;
  }
  s.wake.notify_all();
}

std::uint64_t StatePublisher::Published() const {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  return shared_->published;
}

std::string StatePublisher::LastError() const {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  return shared_->last_error;
}

void StatePublisher::Run(const std::shared_ptr<Shared>& shared) {
  Shared& s = *shared;
  std::unique_ptr<AddressPool> pool;
  std::chrono::milliseconds back_off{0};
  Clock::time_point retry_at{};
  std::unique_lock<std::mutex> lock(s.mutex);
  while (!s.interrupted) {
    const Clock::time_point now = s.timing.now();
    // What goes on record now: each changed state, and each row whose heartbeat is due.
    std::vector<std::pair<StationState, std::uint64_t>> batch;
    Clock::time_point next = Clock::time_point::max();
    for (const auto& [station, entry] : s.stations) {
      if (entry.version != entry.on_record || entry.due <= now) {
        batch.emplace_back(entry.state, entry.version);
      } else {
        next = std::min(next, entry.due);
      }
    }
    const bool last = s.stopping;
    if (batch.empty() && last) {
      break;
    }
    // The stations' last states are tried at once, whatever the back-off.
    if (batch.empty() || (now < retry_at && !last)) {
      s.timing.wait_until(s.wake, lock, batch.empty() ? next : retry_at);
      continue;
    }
    lock.unlock();
    std::string error;
    bool failed = false;
    std::vector<std::pair<std::size_t, bool>> outcomes;  // batch index, refused
    if (!pool) {
      lock.lock();
      s.connecting = true;
      s.ended.notify_all();
      lock.unlock();
      pool = AddressPool::Open(s.location, false, &error);
      failed = !pool;
      if (pool) {
        pool->SetLockWait(s.timing.lock_wait);
      }
      lock.lock();
      s.connecting = false;
      s.store = pool.get();
      if (s.interrupted) {
        break;
      }
      lock.unlock();
    }
    for (std::size_t i = 0; !failed && i < batch.size(); ++i) {
      std::string why;
      if (pool->PublishState(s.name, batch[i].first, &why)) {
        outcomes.emplace_back(i, false);
      } else if (pool->Refused()) {
        outcomes.emplace_back(i, true);
        error = why;
      } else {
        failed = true;
        error = why;
      }
    }
    lock.lock();
    const Clock::time_point after = s.timing.now();
    for (const auto& [i, refused] : outcomes) {
      Shared::Entry& entry = s.stations[batch[i].first.station];
      entry.on_record = batch[i].second;
      entry.due = after + s.timing.heartbeat;
      s.published += refused ? 0 : 1;
    }
    s.last_error = error;
    back_off =
        failed ? std::min(back_off == back_off.zero() ? kFirstBackOff : back_off * 2, kLastBackOff)
               : back_off.zero();
    retry_at = failed ? after + back_off : Clock::time_point{};
    if (last) {
      break;
    }
  }
  s.store = nullptr;
  s.done = true;
  s.ended.notify_all();
  lock.unlock();
  pool.reset();
}

}  // namespace pelorus::pool
