// The line's events: one thread that waits for the store to change and tells readers what did.
#include "tools/pool/web_events.h"

#include <algorithm>

#include "tools/pool/json_text.h"
#include "tools/pool/line_report.h"
#include "tools/pool/web_line_view.h"

namespace pelorus::pool {
namespace {

// A mark's time against the cursor: marks are stamped by the writer before its commit, so one
// may land a little after a later-stamped one; looking back this far finds it.
constexpr std::int64_t kMarkLookBackMs = 5000;
constexpr std::size_t kMarksPerRead = 500;

std::string Event(const std::string& name, const std::string& json) {
  return "event: " + name + "\ndata: " + json + "\n\n";
}

}  // namespace

std::optional<std::string> WebEvents::Subscription::Next(std::chrono::milliseconds wait) {
  std::unique_lock<std::mutex> lock(mutex_);
  wake_.wait_for(lock, wait, [this] { return closed_ || !queue_.empty(); });
  if (closed_ || queue_.empty()) {
    return std::nullopt;
  }
  // All that waits goes out in one write: a busy line costs a reader one write per round.
  std::string next;
  for (const std::string& event : queue_) {
    next += event;
  }
  queue_.clear();
  return next;
}

bool WebEvents::Subscription::Closed() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return closed_;
}

void WebEvents::Subscription::Close() {
  std::lock_guard<std::mutex> lock(mutex_);
  closed_ = true;
  wake_.notify_all();
}

WebEvents::WebEvents(std::string location, std::string pool_name,
                     std::function<std::int64_t()> now_ms)
    : location_(std::move(location)),
      pool_name_(std::move(pool_name)),
      now_ms_(now_ms ? std::move(now_ms) : [] {
        return static_cast<std::int64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                             std::chrono::system_clock::now().time_since_epoch())
                                             .count());
      }) {}

WebEvents::~WebEvents() {
  Stop();
}

void WebEvents::Start() {
  // The first look at the store is taken before any reader can come, so that a reader hears
  // of every change after it connected.
  Step();
  thread_ = std::thread([this] {
    for (;;) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_) {
          return;
        }
      }
      Step();
    }
  });
}

void WebEvents::Stop() {
  std::vector<std::weak_ptr<Subscription>> readers;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    readers.swap(readers_);
    wake_.notify_all();
  }
  for (const auto& reader : readers) {
    if (const auto subscription = reader.lock()) {
      subscription->Close();
    }
  }
  if (thread_.joinable()) {
    thread_.join();
  }
}

std::shared_ptr<WebEvents::Subscription> WebEvents::Subscribe() {
  auto subscription = std::make_shared<Subscription>();
  std::lock_guard<std::mutex> lock(mutex_);
  if (stopping_) {
    subscription->Close();
  } else {
    readers_.push_back(subscription);
  }
  return subscription;
}

std::size_t WebEvents::Readers() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<std::size_t>(std::count_if(
      readers_.begin(), readers_.end(), [](const auto& reader) { return !reader.expired(); }));
}

std::string WebEvents::StoreEvent() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return Event("store", StoreJson());
}

std::string WebEvents::StoreJson() const {
  return down_since_.empty() ? std::string("{\"ok\": true}")
                             : "{\"ok\": false, \"since\": " + JsonText(down_since_) +
                                   ", \"error\": " + JsonText(down_error_) + "}";
}

void WebEvents::Publish(const std::string& name, const std::string& json) {
  const std::string text = Event(name, json);
  std::lock_guard<std::mutex> lock(mutex_);
  readers_.erase(std::remove_if(readers_.begin(), readers_.end(),
                                [&](const std::weak_ptr<Subscription>& reader) {
                                  const auto subscription = reader.lock();
                                  if (!subscription) {
                                    return true;
                                  }
                                  std::lock_guard<std::mutex> queue(subscription->mutex_);
                                  if (subscription->closed_) {
                                    return true;
                                  }
                                  if (subscription->queue_.size() >= kMaxQueued) {
                                    subscription->closed_ = true;
                                  } else {
                                    subscription->queue_.push_back(text);
                                  }
                                  subscription->wake_.notify_all();
                                  return subscription->closed_;
                                }),
                 readers_.end());
}

void WebEvents::Down(const std::string& error) {
  watch_.reset();
  pool_.reset();
  std::string news;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!down_since_.empty() && down_error_ == error) {
      return;
    }
    if (down_since_.empty()) {
      down_since_ = FormatUtc(now_ms_());
    }
    down_error_ = error;
    news = StoreJson();
  }
  Publish("store", news);
}

void WebEvents::Step() {
  std::string error;
  bool changed = false;
  if (!watch_) {
    watch_ = ChangeWatch::Open(location_, &error);
    changed = true;
  } else {
    const auto result = watch_->Wait(kTick, &error);
    changed = result == ChangeWatch::Result::kChanged;
    if (result == ChangeWatch::Result::kFailed) {
      watch_.reset();
    }
  }
  if (!watch_ || !Read(changed, &error)) {
    const std::string where = AddressPool::Shown(location_);
    Down(error.find(where) == std::string::npos ? where + ": " + error : error);
    std::unique_lock<std::mutex> lock(mutex_);
    wake_.wait_for(lock, kTick, [this] { return stopping_; });
    return;
  }
  bool recovered = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    recovered = !down_since_.empty();
    down_since_.clear();
    down_error_.clear();
  }
  if (recovered) {
    Publish("store", "{\"ok\": true}");
  }
  if (changed) {
    // What changes meanwhile is read in one round after the gap, not a round per step.
    std::unique_lock<std::mutex> lock(mutex_);
    wake_.wait_for(lock, kReadGap, [this] { return stopping_; });
  }
}

bool WebEvents::Read(bool changed, std::string* error) {
  const std::int64_t now = now_ms_();
  std::vector<StationState> states;
  if (changed) {
    if (!pool_) {
      pool_ = AddressPool::Open(location_, false, error);
      if (!pool_) {
        return false;
      }
    }
    std::vector<std::string> stations;
    std::vector<Attempt> attempts;
    if (!pool_->StationStates(pool_name_, &states, error) ||
        !pool_->StationNames(pool_name_, &stations, error) ||
        !pool_->RecentAttempts(pool_name_, last_attempt_, kMarksPerRead, &attempts, error)) {
      return false;
    }
    if (!primed_) {
      marks_after_ = FormatUtc(now);
    }
    const std::string look_from = FormatUtc(ParseUtc(marks_after_).value_or(now) - kMarkLookBackMs);
    std::vector<MarkEvent> marks;
    for (const std::string& station : stations) {
      std::vector<MarkEvent> of_station;
      if (!pool_->MarksAfter(pool_name_, station, look_from, kMarksPerRead, &of_station, error)) {
        return false;
      }
      marks.insert(marks.end(), of_station.begin(), of_station.end());
    }
    std::stable_sort(marks.begin(), marks.end(),
                     [](const MarkEvent& a, const MarkEvent& b) { return a.at < b.at; });
    for (const MarkEvent& mark : marks) {
      if (!marks_seen_.emplace(mark.at, mark.verified, mark.address).second || !primed_) {
        continue;
      }
      marks_after_ = std::max(marks_after_, mark.at);
      Publish("mark", "{\"station\": " + JsonText(mark.station) + ", \"mark\": \"" +
                          (mark.verified ? "verified" : "written") +
                          "\", \"address\": " + JsonText(FormatMac48(mark.address)) +
                          ", \"at\": " + JsonText(mark.at) + "}");
    }
    // What lies before the look-back can no longer come again.
    marks_seen_.erase(marks_seen_.begin(),
                      marks_seen_.lower_bound(std::make_tuple(look_from, false, Mac48{0})));
    for (auto attempt = attempts.rbegin(); attempt != attempts.rend(); ++attempt) {
      last_attempt_ = std::max(last_attempt_, attempt->id);
      if (primed_) {
        Publish("attempt", AttemptJson(*attempt));
      }
    }
  }
  std::map<std::string, Shown> shown;
  if (!changed) {
    shown = shown_;
    for (auto& [station, was] : shown) {
      const auto heartbeat = ParseUtc(was.heartbeat_at);
      was.offline = heartbeat && now - *heartbeat > WebLineView::kOfflineAfterMs;
    }
  } else {
    for (const StationState& state : states) {
      const auto heartbeat = ParseUtc(state.heartbeat_at);
      shown[state.station] =
          Shown{ActivityText(state.activity), state.detail, state.since,
                heartbeat && now - *heartbeat > WebLineView::kOfflineAfterMs, state.heartbeat_at};
    }
  }
  for (const auto& [station, now_shown] : shown) {
    const auto was = shown_.find(station);
    if (primed_ &&
        (was == shown_.end() || was->second.activity != now_shown.activity ||
         was->second.detail != now_shown.detail || was->second.since != now_shown.since ||
         was->second.offline != now_shown.offline)) {
      Publish("state", "{\"station\": " + JsonText(station) +
                           ", \"activity\": " + JsonText(now_shown.activity) +
                           ", \"detail\": " + JsonText(now_shown.detail) +
                           ", \"since\": " + JsonText(now_shown.since) + ", \"offline\": " +
                           (now_shown.offline ? "true" : "false") + ", \"offline_since\": " +
                           (now_shown.offline ? JsonText(now_shown.heartbeat_at) : "null") + "}");
    }
  }
  shown_ = std::move(shown);
  primed_ = primed_ || changed;
  return true;
}

}  // namespace pelorus::pool
