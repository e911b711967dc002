#pragma once

#include <httplib.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace pelorus::testing {

// Reads a server's /events on a thread of its own, keeping all it received.
class EventReader {
 public:
  explicit EventReader(int port) : client_("127.0.0.1", port) {
    client_.set_read_timeout(60, 0);
    thread_ = std::thread([this] {
      client_.Get("/events", [this](const char* data, std::size_t length) {
        std::lock_guard<std::mutex> lock(mutex_);
        text_.append(data, length);
        changed_.notify_all();
        return !stopping_;
      });
      std::lock_guard<std::mutex> lock(mutex_);
      ended_ = true;
      changed_.notify_all();
    });
  }
  ~EventReader() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    client_.stop();
    thread_.join();
  }
  EventReader(const EventReader&) = delete;
  EventReader& operator=(const EventReader&) = delete;

  // Waits until what was received holds wanted after offset (at most within), and gives the
  // offset just past it; std::string::npos when it never came.
  std::size_t WaitFor(const std::string& wanted, std::size_t offset = 0,
                      std::chrono::seconds within = std::chrono::seconds(20)) {
    std::unique_lock<std::mutex> lock(mutex_);
    std::size_t at = std::string::npos;
    changed_.wait_for(lock, within, [&] {
      at = text_.find(wanted, offset);
      return at != std::string::npos || ended_;
    });
    at = text_.find(wanted, offset);
    return at == std::string::npos ? at : at + wanted.size();
  }
  std::string text() {
    std::lock_guard<std::mutex> lock(mutex_);
    return text_;
  }

 private:
  httplib::Client client_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::string text_;
  bool stopping_ = false;
  bool ended_ = false;
  std::thread thread_;
};

}  // namespace pelorus::testing
