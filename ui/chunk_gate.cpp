#include "ui/chunk_gate.h"

#include <utility>

namespace pelorus {

void ChunkGate::SetWaitFunction(WaitFunction wait) {
  wait_ = std::move(wait);
}

void ChunkGate::RunChunk(const std::function<void()>& handle) {
  OutsideChunk([this, handle] {
    in_chunk_ = true;
    stopped_ = false;
    handle();
    in_chunk_ = false;
    stopped_ = false;
    while (!deferred_.empty()) {
      const std::function<void()> action = std::move(deferred_.front());
      deferred_.pop_front();
      action();
    }
  });
}

void ChunkGate::OutsideChunk(std::function<void()> action) {
  if (in_chunk_) {
    deferred_.push_back(std::move(action));
    return;
  }
  action();
}

void ChunkGate::StopChunkThen(std::function<void()> action) {
  if (in_chunk_) {
    stopped_ = true;
    precise_.Cancel();
  }
  OutsideChunk(std::move(action));
}

bool ChunkGate::Wait(std::chrono::milliseconds duration, PreciseWait::Clock::time_point from) {
  if (stopped_) {
    return false;
  }
  if (wait_) {
    wait_(duration);
  } else {
    precise_.RunUntil(from + duration);
  }
  return !stopped_;
}

}  // namespace pelorus
