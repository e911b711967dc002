#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace pelorus::bench {

// pelorus-station as a child of the benchmark, stopped with SIGTERM as a service manager stops
// it. Its attempts' JSON lines go to an events file, its journal to a state folder, both in a
// temporary folder of its own; its log lines (standard error) are read on a thread and kept,
// so the station never waits for the benchmark to read them.
class StationProcess {
 public:
  StationProcess();
  // Stops the station, if it still runs, and removes its folder.
  ~StationProcess();
  StationProcess(const StationProcess&) = delete;
  StationProcess& operator=(const StationProcess&) = delete;

  // Starts the station with options (--pool, --port ...; --events is the object's); false,
  // with the reason on stderr, when it could not start.
  bool Start(const std::vector<std::string>& options);
  pid_t pid() const { return pid_; }

  // Waits until count log lines hold text; false when the timeout passed or the station ended
  // first.
  bool WaitForLog(const std::string& text, int count, std::chrono::milliseconds timeout);
  // The log lines so far.
  std::vector<std::string> Log() const;
  // Sends SIGTERM and waits for the end (SIGKILL after a while); returns the exit status, -1
  // when the station was killed or never started.
  int Stop();
  // The events file's lines, one per attempt.
  std::vector<std::string> Events() const;

 private:
  void ReadLog(int fd);

  std::string folder_;
  pid_t pid_ = -1;
  int status_ = -1;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> log_;  // under mutex_
  bool log_ended_ = false;        // under mutex_: the station closed its standard error
  std::thread reader_;
};

}  // namespace pelorus::bench
