#include "tools/station/rack_station.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

namespace pelorus {

std::unique_ptr<RackStation> RackStation::Open(const RackConfig& config, EventSink& sink,
                                               std::string* error) {
  std::unique_ptr<RackStation> rack(new RackStation(sink));
  if (rack->wake_fd_ < 0) {
    *error = "no eventfd for the rack";
    return nullptr;
  }
  rack->slots_.reserve(config.ports.size());
  // One publisher for the rack: every port's state goes to the line through it.
  const auto publisher = std::make_shared<pool::StatePublisher>(config.pool, config.pool_name);
  for (const RackConfig::Port& port : config.ports) {
    std::unique_ptr<RunStation> station =
        RunStation::Open({config.pool, config.pool_name, config.StationOf(port), publisher}, error);
    if (!station) {
      *error = "port " + port.name + ": " + *error;
      return nullptr;
    }
    const std::size_t index = rack->slots_.size();
    rack->slots_.push_back({});
    rack->slots_.back().port =
        std::make_unique<RackPort>(port, std::move(station), sink,
                                   [raw = rack.get(), index](RackPort&) { raw->Ended(index); });
  }
  return rack;
}

RackStation::RackStation(EventSink& sink)
    : sink_(sink), wake_fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

RackStation::~RackStation() {
  // Every run is told first, so that they all end together rather than one after another.
  for (Slot& slot : slots_) {
    slot.port->Stop();
  }
  slots_.clear();
  if (wake_fd_ >= 0) {
    close(wake_fd_);
  }
}

// The run's thread: the rack's loop decides when the port starts again.
void RackStation::Ended(std::size_t index) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ended_.push_back(index);
  }
  const std::uint64_t one = 1;
  while (write(wake_fd_, &one, sizeof one) < 0 && errno == EINTR) {
  }
}

int RackStation::Serve(int stop_fd) {
  using Clock = std::chrono::steady_clock;
  for (Slot& slot : slots_) {
    slot.port->Start();
  }
  for (;;) {
    const Clock::time_point now = Clock::now();
    int timeout = -1;
    for (const Slot& slot : slots_) {
      if (slot.waiting) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(slot.start_at - now).count();
        timeout = static_cast<int>(
            std::max<long long>(0, timeout < 0 ? left : std::min<long long>(timeout, left)));
      }
    }
    pollfd fds[2] = {{stop_fd, POLLIN, 0}, {wake_fd_, POLLIN, 0}};
    if (poll(fds, 2, timeout) < 0 && errno != EINTR) {
      break;
    }
    if (fds[0].revents != 0) {
      break;
    }
    if (fds[1].revents != 0) {
      std::uint64_t count = 0;
      while (read(wake_fd_, &count, sizeof count) < 0 && errno == EINTR) {
      }
      std::vector<std::size_t> ended;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        ended.swap(ended_);
      }
      for (const std::size_t index : ended) {
        Slot& slot = slots_[index];
        // A port that opened and ran starts again soon; one that keeps failing before its port
        // opens waits longer each time, so that a missing adapter costs nothing.
        slot.pause = slot.port->Started() ? kFirstPause : std::min(slot.pause * 2, kLongestPause);
        slot.start_at = Clock::now() + slot.pause;
        slot.waiting = true;
      }
    }
    const Clock::time_point after = Clock::now();
    for (Slot& slot : slots_) {
      if (slot.waiting && slot.start_at <= after) {
        slot.waiting = false;
        slot.port->Start();
      }
    }
  }
  for (Slot& slot : slots_) {
    slot.port->Stop();
  }
  std::uint64_t verified = 0;
  std::uint64_t failed = 0;
  for (Slot& slot : slots_) {
    slot.port->Finish();
    verified += slot.port->Verified();
    failed += slot.port->Failed();
    sink_.Log(EventSink::Tone::kPlain, pool::UtcNowText() + " " + slot.port->Name() + ": " +
                                           std::to_string(slot.port->Verified()) + " verified, " +
                                           std::to_string(slot.port->Failed()) + " failed");
  }
  sink_.Log(EventSink::Tone::kPlain,
            pool::UtcNowText() + " station ended: " + std::to_string(slots_.size()) + " ports, " +
                std::to_string(verified) + " verified, " + std::to_string(failed) + " failed");
  return 0;
}

}  // namespace pelorus
