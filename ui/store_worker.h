#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace pelorus {

// One thread of its own for the address pool's steps, so that a slow or silent store never
// holds the window's thread. Jobs run one after the other, in the order posted; a job posted
// after another sees everything the one before it did. The destructor lets every job already
// posted finish (a mark on its way to the store is never dropped), then joins.
class StoreWorker {
 public:
  StoreWorker();
  ~StoreWorker();
  StoreWorker(const StoreWorker&) = delete;
  StoreWorker& operator=(const StoreWorker&) = delete;

  void Post(std::function<void()> job);

 private:
  void Run();

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> jobs_;
  bool ending_ = false;
  std::thread thread_;
};

}  // namespace pelorus
