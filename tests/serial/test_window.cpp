#include "test_window.h"

#include <future>
#include <memory>

namespace pelorus::testing {

TestWindow::TestWindow() : thread_([this] { Loop(); }) {}

TestWindow::~TestWindow() {
  Stop();
}

void TestWindow::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  cv_.notify_all();
  if (thread_.joinable()) {
    thread_.join();
  }
}

void TestWindow::PostPortData(std::uint64_t ticket, int) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++seen_.posted;
    ++seen_.queued;
    data_.push_back(ticket);
  }
  cv_.notify_all();
}

void TestWindow::PostPortLost(std::uint64_t ticket) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++seen_.queued;
    lost_.push_back(ticket);
  }
  cv_.notify_all();
}

void TestWindow::ShowMessage(const std::string& text, const std::string& caption, bool warning) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    seen_.messages.push_back({text, caption, warning});
  }
  cv_.notify_all();
}

void TestWindow::Hold(bool hold) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    hold_ = hold;
  }
  cv_.notify_all();
}

void TestWindow::SetChunkHook(std::function<void()> hook) {
  std::lock_guard<std::mutex> lock(mutex_);
  hook_ = std::move(hook);
}

bool TestWindow::Run(std::function<void()> task, std::chrono::milliseconds bound) {
  auto done = std::make_shared<std::promise<void>>();
  std::future<void> finished = done->get_future();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    tasks_.push_back([task = std::move(task), done] {
      task();
      done->set_value();
    });
  }
  cv_.notify_all();
  return finished.wait_for(bound) == std::future_status::ready;
}

bool TestWindow::WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds bound) {
  std::unique_lock<std::mutex> lock(mutex_);
  return cv_.wait_for(lock, bound, condition);
}

TestWindow::Record TestWindow::Seen() {
  std::lock_guard<std::mutex> lock(mutex_);
  return seen_;
}

void TestWindow::Loop() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    cv_.wait(lock, [this] {
      return stop_ || !tasks_.empty() || (!hold_ && (!data_.empty() || !lost_.empty()));
    });
    if (stop_) {
      return;
    }
    if (!tasks_.empty()) {
      auto task = std::move(tasks_.front());
      tasks_.pop_front();
      lock.unlock();
      task();
      lock.lock();
    } else if (!data_.empty()) {
      const std::uint64_t ticket = data_.front();
      data_.pop_front();
      std::function<void()> hook = hook_;
      lock.unlock();
      comm_->HandlePortData(ticket, [this, &hook](const char* bytes, int n) {
        {
          std::lock_guard<std::mutex> inner(mutex_);
          seen_.received.append(bytes, static_cast<std::size_t>(n));
          seen_.chunk_sizes.push_back(n);
        }
        if (hook) {
          hook();
        }
      });
      lock.lock();
      --seen_.queued;
    } else {
      const std::uint64_t ticket = lost_.front();
      lost_.pop_front();
      lock.unlock();
      const bool current = comm_->IsCurrent(ticket);
      lock.lock();
      --seen_.queued;
      ++seen_.lost_count;
      seen_.lost_was_current = current;
    }
    cv_.notify_all();
  }
}

}  // namespace pelorus::testing
