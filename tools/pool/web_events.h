#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "pool/address_pool.h"
#include "pool/change_watch.h"

namespace pelorus::pool {

// The line's events as server-sent events, from one thread that watches the store
// (ChangeWatch) and reads it only when it changed: "mark" per written or verified mark,
// "attempt" per attempt put on record, "state" per change of a station's state (its
// heartbeat stopping too), and "store" when the store becomes unreachable ({"ok": false,
// "since", "error"}) and again once it answers ({"ok": true}). Each event's data is one line
// of JSON, as the JSON endpoints write it.
class WebEvents {
 public:
  // How long a quiet store waits before offline stations are looked for again, and a store
  // that failed before it is tried again.
  static constexpr std::chrono::milliseconds kTick{1000};
  // The least time between two reads of a store that keeps changing.
  static constexpr std::chrono::milliseconds kReadGap{100};
  // Events queued for one reader at most: a reader this far behind is dropped (its browser
  // connects again and reads the page afresh).
  static constexpr std::size_t kMaxQueued = 256;

  // One reader's events, in order.
  class Subscription {
   public:
    // The text of the events queued ("event: NAME\ndata: JSON\n\n" each), as soon as there
    // is one; nullopt after wait or once closed.
    std::optional<std::string> Next(std::chrono::milliseconds wait);
    bool Closed() const;
    void Close();

   private:
    friend class WebEvents;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::string> queue_;
    bool closed_ = false;
  };

  // now_ms: milliseconds since the epoch, UTC (the system clock unless a test gives its own).
  explicit WebEvents(std::string location, std::string pool_name,
                     std::function<std::int64_t()> now_ms = nullptr);
  ~WebEvents();
  WebEvents(const WebEvents&) = delete;
  WebEvents& operator=(const WebEvents&) = delete;

  // Reads the store once (or finds it unreachable), then starts the watching thread.
  void Start();
  // Ends it, and closes every subscription.
  void Stop();
  std::shared_ptr<Subscription> Subscribe();
  // The store's standing as a "store" event, for a reader who just came.
  std::string StoreEvent() const;
  // Readers subscribed now.
  std::size_t Readers() const;

 private:
  struct Shown {
    std::string activity;
    std::string detail;
    std::string since;
    bool offline = false;
    std::string heartbeat_at;
  };

  // One round: waits for a change (or opens the store again) and tells of it.
  void Step();
  // Reads what changed and tells of it; false with *error when the store failed.
  bool Read(bool changed, std::string* error);
  void Publish(const std::string& name, const std::string& json);
  void Down(const std::string& error);
  // The store's standing as JSON; mutex_ held.
  std::string StoreJson() const;

  std::string location_;
  std::string pool_name_;
  std::function<std::int64_t()> now_ms_;

  // The watching thread's own.
  std::unique_ptr<ChangeWatch> watch_;
  std::unique_ptr<AddressPool> pool_;
  bool primed_ = false;
  std::int64_t last_attempt_ = 0;
  std::string marks_after_;
  std::set<std::tuple<std::string, bool, Mac48>> marks_seen_;
  std::map<std::string, Shown> shown_;

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  std::string down_since_;  // empty while the store answers
  std::string down_error_;
  std::vector<std::weak_ptr<Subscription>> readers_;
  std::thread thread_;
};

}  // namespace pelorus::pool
