#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "run/run.h"
#include "run/run_observer.h"
#include "serial/port_settings.h"

namespace pelorus::testing {

// A view of a run for tests: keeps what the run reported, closes every banner at once (unless
// told to hold it), and lets the test wait, bounded, until the reports show what it expects.
class RecordingObserver : public RunObserver {
 public:
  struct Seen {
    std::vector<std::uint64_t> started, failed, ended;
    std::string log;
    std::vector<std::string> banners, messages, failures;
    std::string store_status;
  };

  // The run whose banners are closed at once; null: banners stay up.
  void CloseBannersOf(Run* run) {
    std::lock_guard<std::mutex> lock(mutex_);
    closer_ = run;
  }
  // Called on the run's thread with every piece of console the run logs.
  void OnLog(std::function<void(const std::string&)> look) {
    std::lock_guard<std::mutex> lock(mutex_);
    on_log_ = std::move(look);
  }

  // True once until(seen) holds; false after timeout.
  bool WaitFor(const std::function<bool(const Seen&)>& until,
               std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return until(seen_); });
  }
  Seen Now() {
    std::lock_guard<std::mutex> lock(mutex_);
    return seen_;
  }

  void RunStarted(std::uint64_t run, const std::string&) override {
    Change([&] { seen_.started.push_back(run); });
  }
  void RunFailed(std::uint64_t run, const std::string& text, const std::string& detail) override {
    Change([&] {
      seen_.failed.push_back(run);
      seen_.failures.push_back(text + " | " + detail);
    });
  }
  void RunEnded(std::uint64_t run) override {
    Change([&] { seen_.ended.push_back(run); });
  }
  void Log(const std::string& bytes) override {
    std::function<void(const std::string&)> look;
    Change([&] {
      seen_.log += bytes;
      look = on_log_;
    });
    if (look) {
      look(bytes);
    }
  }
  void LogNote(const std::string& note) override {
    Change([&] { seen_.log += "\r\n[" + note + "]\r\n"; });
  }
  void Address(std::uint64_t, const std::array<std::string, 6>&) override {}
  void Banner(std::uint64_t, const std::string& text) override {
    Run* closer = nullptr;
    Change([&] {
      seen_.banners.push_back(text);
      closer = closer_;
    });
    if (closer != nullptr) {
      closer->BannerClosed();
    }
  }
  void Message(std::uint64_t, MessageKind, const std::string& text,
               const std::string& detail) override {
    Change([&] { seen_.messages.push_back(text + " | " + detail); });
  }
  void Status(StatusKind kind, const std::string& text) override {
    if (kind == StatusKind::kStore) {
      Change([&] { seen_.store_status = text; });
    }
  }
  void StationAddress(std::optional<Mac48>) override {}
  void PoolLine(const std::string&) override {}

 private:
  void Change(const std::function<void()>& change) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      change();
    }
    changed_.notify_all();
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  Seen seen_;
  Run* closer_ = nullptr;
  std::function<void(const std::string&)> on_log_;
};

// A device the test plays by hand on the master side of a pseudo-terminal; the run opens the
// slave by its path.
class HandDevice {
 public:
  HandDevice() {
    char name[256] = {};
    if (openpty(&master_, &slave_, name, nullptr, nullptr) == 0) {
      path_ = name;
    }
  }
  ~HandDevice() {
    close(master_);
    close(slave_);
  }
  HandDevice(const HandDevice&) = delete;
  HandDevice& operator=(const HandDevice&) = delete;

  const std::string& Path() const { return path_; }
  bool Send(const std::string& bytes) {
    return write(master_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  }
  // Bytes the run wrote, waiting up to timeout for the first of them.
  std::string Received(std::chrono::milliseconds timeout) {
    std::string bytes;
    pollfd ready{master_, POLLIN, 0};
    int wait = static_cast<int>(timeout.count());
    char buffer[256];
    while (poll(&ready, 1, wait) > 0 && (ready.revents & POLLIN) != 0) {
      const ssize_t n = read(master_, buffer, sizeof buffer);
      if (n <= 0) {
        break;
      }
      bytes.append(buffer, static_cast<std::size_t>(n));
      wait = 50;
    }
    return bytes;
  }

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string path_;
};

// The window's port settings: 115200 bits/s, 8 data bits, no parity, one stop bit.
inline PortSettings RunSettings() {
  return PortSettings{1, 0, kDataBitsTable[1], kFlowTable[0], 0, kStopBitsTable[0], kBaudTable[6]};
}

}  // namespace pelorus::testing
