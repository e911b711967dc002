#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "pool/station_state.h"
#include "tools/station/event_sink.h"
#include "tools/station/rack_config.h"
#include "tools/station/rack_port.h"

namespace pelorus {

// A rack station: every configured port a run of its own, all on one pool, none waiting for
// another. A port whose run ends (its device missing at the start, a pool that gives it no
// address, a run that could not go on) starts again by itself after a pause, which grows
// while the port keeps failing before its port opens, up to kLongestPause.
class RackStation {
 public:
  static constexpr std::chrono::milliseconds kFirstPause{1000};
  static constexpr std::chrono::milliseconds kLongestPause{30000};

  // Opens the pool once for every port's station (no port is opened yet): null with *error
  // naming the port when the store cannot be reached or holds no such pool.
  static std::unique_ptr<RackStation> Open(const RackConfig& config, EventSink& sink,
                                           std::string* error);
  ~RackStation();
  RackStation(const RackStation&) = delete;
  RackStation& operator=(const RackStation&) = delete;

  // Runs the ports until stop_fd becomes readable (the signals' descriptor); then stops every
  // run at once, waits for them (their verified marks on record or in their journals, their
  // claims given back), and logs one line per port: its verified and failed boards. Returns the
  // exit status: 0.
  int Serve(int stop_fd);

 private:
  RackStation(EventSink& sink);
  void Ended(std::size_t index);

  struct Slot {
    std::unique_ptr<RackPort> port;
    std::chrono::steady_clock::time_point start_at{};
    std::chrono::milliseconds pause{kFirstPause};
    bool waiting = false;  // ended, to be started at start_at
  };

  EventSink& sink_;
  int wake_fd_ = -1;  // an eventfd: a run has ended
  std::mutex mutex_;
  std::vector<std::size_t> ended_;  // under mutex_
  std::vector<Slot> slots_;
};

}  // namespace pelorus
