#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

namespace pelorus {

// Where a rack station's news goes: the attempts' JSON lines to the events file (or standard
// output), a line for people per event to standard error (in colour on a terminal only, for it
// runs under a service manager that keeps the lines). The lines are written on a thread of the
// sink's own, in the order they came, each with one write and so whole, so that a port never
// waits for a slow disk or a reader that does not read.
class EventSink {
 public:
  enum class Tone { kPlain, kGood, kBad, kWarning };

  // events_fd and log_fd stay the caller's; color: colour the log lines.
  EventSink(int events_fd, int log_fd, bool color);
  // Writes every line given so far, then ends the thread.
  ~EventSink();
  EventSink(const EventSink&) = delete;
  EventSink& operator=(const EventSink&) = delete;

  // Any thread; none of them waits for a write. A newline is added to each.
  void Event(const std::string& json);
  void Log(Tone tone, const std::string& line);

 private:
  struct Line {
    int fd;
    std::string text;
  };
  void Main();
  static bool WriteAll(int fd, const std::string& text);

  const int events_fd_;
  const int log_fd_;
  const bool color_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Line> lines_;
  bool closing_ = false;
  std::thread thread_;  // last: starts once everything above is in place
};

}  // namespace pelorus
