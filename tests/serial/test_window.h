#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "serial/comm.h"
#include "serial/port_notify.h"

namespace pelorus::testing {

// Plays the window: a thread with a queue, like the window's event loop. Port news is
// queued by the watcher and handled on this thread; tests run their port calls here too.
class TestWindow : public PortNotify {
 public:
  // What the window has seen.
  struct Record {
    std::string received;
    std::vector<int> chunk_sizes;
    int posted = 0;
    int queued = 0;  // port news not yet handled
    int lost = 0;
    bool lost_was_current = false;
    std::vector<std::string> messages;  // "text", then " [caption]" and " (warning)" if any
    int ready_waits = 0;                // WaitReady calls
    bool ready_waits_on_window = true;  // every one of them came on this thread
  };

  explicit TestWindow(CComm* comm) : comm_(comm), thread_([this] { Loop(); }) {}
  ~TestWindow() override {
    Locked([this] { stop_ = true; });
    thread_.join();
  }

  void PostPortData(std::uint64_t ticket, int) override {
    Locked([this] { ++seen_.posted; });
    Queue(true, [this, ticket] {
      comm_->HandlePortData(ticket, [this](const char* bytes, int n) {
        std::function<void()> hook;
        Locked([&] {
          seen_.received.append(bytes, static_cast<std::size_t>(n));
          seen_.chunk_sizes.push_back(n);
          hook = chunk_hook_;
        });
        if (hook) {
          hook();
        }
      });
    });
  }

  void PostPortLost(std::uint64_t ticket) override {
    Queue(true, [this, ticket] {
      const bool current = comm_->IsCurrent(ticket);
      Locked([&] {
        ++seen_.lost;
        seen_.lost_was_current = current;
      });
    });
  }

  void ShowMessage(const std::string& text, const std::string& caption, bool warning) override {
    Locked([&] {
      seen_.messages.push_back(text + (caption.empty() ? "" : " [" + caption + "]") +
                               (warning ? " (warning)" : ""));
    });
  }

  // The waits of an open: recorded, then the hook runs (as the window would run its event
  // loop), then the plain wait.
  bool WaitReady(int fd, short events, std::chrono::milliseconds timeout) override {
    std::function<void()> hook;
    Locked([&] {
      ++seen_.ready_waits;
      seen_.ready_waits_on_window &= std::this_thread::get_id() == thread_.get_id();
      hook = wait_hook_;
    });
    if (hook) {
      hook();
    }
    return PortNotify::WaitReady(fd, events, timeout);
  }

  // Runs inside every WaitReady, on the window's thread.
  void OnWaitReady(std::function<void()> hook) {
    Locked([&] { wait_hook_ = std::move(hook); });
  }
  // Runs inside the handler of every chunk, after the chunk was recorded.
  void OnChunk(std::function<void()> hook) {
    Locked([&] { chunk_hook_ = std::move(hook); });
  }
  // While held, port news stays queued; tasks still run.
  void Hold(bool hold) {
    Locked([&] { hold_ = hold; });
  }

  // Runs task on the window thread; false when it did not finish within ten seconds.
  bool Run(std::function<void()> task) {
    auto job = std::make_shared<std::packaged_task<void()>>(std::move(task));
    std::future<void> done = job->get_future();
    Queue(false, [job] { (*job)(); });
    return done.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
  }

  // Waits until condition holds for what was seen; false at the bound.
  bool WaitFor(const std::function<bool(const Record&)>& condition,
               std::chrono::seconds bound = std::chrono::seconds(10)) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, bound, [&] { return condition(seen_); });
  }

  Record Seen() {
    std::lock_guard<std::mutex> lock(mutex_);
    return seen_;
  }

 private:
  template <typename Change>
  void Locked(Change change) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      change();
    }
    cv_.notify_all();
  }

  void Queue(bool news, std::function<void()> job) {
    Locked([&] {
      (news ? news_ : tasks_).push_back(std::move(job));
      seen_.queued += news ? 1 : 0;
    });
  }

  // Tasks go first; news waits while held.
  void Loop() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      cv_.wait(lock, [this] { return stop_ || !tasks_.empty() || (!hold_ && !news_.empty()); });
      if (stop_) {
        return;
      }
      const bool news = tasks_.empty();
      std::deque<std::function<void()>>& queue = news ? news_ : tasks_;
      std::function<void()> job = std::move(queue.front());
      queue.pop_front();
      lock.unlock();
      job();
      lock.lock();
      seen_.queued -= news ? 1 : 0;
      cv_.notify_all();
    }
  }

  CComm* comm_;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<std::function<void()>> tasks_;
  std::deque<std::function<void()>> news_;
  std::function<void()> chunk_hook_;
  std::function<void()> wait_hook_;
  Record seen_;
  bool hold_ = false;
  bool stop_ = false;
  std::thread thread_;  // last: it starts once everything else is made
};

}  // namespace pelorus::testing
