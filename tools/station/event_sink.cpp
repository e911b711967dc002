#include "tools/station/event_sink.h"

#include <unistd.h>

#include <cerrno>

namespace pelorus {

EventSink::EventSink(int events_fd, int log_fd, bool color)
    : events_fd_(events_fd), log_fd_(log_fd), color_(color), thread_([this] { Main(); }) {}

EventSink::~EventSink() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closing_ = true;
  }
  wake_.notify_one();
  thread_.join();
}

void EventSink::Event(const std::string& json) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.push_back({events_fd_, json + "\n"});
  }
  wake_.notify_one();
}

void EventSink::Log(Tone tone, const std::string& line) {
  static const char* const kColors[] = {"", "\x1b[32m", "\x1b[31m", "\x1b[33m"};
  const bool colored = color_ && tone != Tone::kPlain;
  std::string text = colored ? kColors[static_cast<int>(tone)] + line + "\x1b[0m" : line;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.push_back({log_fd_, text + "\n"});
  }
  wake_.notify_one();
}

void EventSink::Main() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return closing_ || !lines_.empty(); });
    if (lines_.empty()) {
      return;
    }
    std::deque<Line> lines;
    lines.swap(lines_);
    lock.unlock();
    for (const Line& line : lines) {
      WriteAll(line.fd, line.text);
    }
    lock.lock();
  }
}

// A reader that went away (a closed pipe) loses the lines; the station goes on.
bool EventSink::WriteAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace pelorus
