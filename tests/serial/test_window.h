#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "serial/comm.h"
#include "serial/port_notify.h"

namespace pelorus::testing {

// Plays the window: a thread with a queue, like the window's event loop. Port news is
// queued by the watcher and handled on this thread; tests run their port calls here too.
class TestWindow : public PortNotify {
 public:
  struct Message {
    std::string text;
    std::string caption;
    bool warning;
  };

  TestWindow();
  ~TestWindow() override;

  void Attach(CComm* comm) { comm_ = comm; }
  void Stop();

  void PostPortData(std::uint64_t ticket, int n) override;
  void PostPortLost(std::uint64_t ticket) override;
  void ShowMessage(const std::string& text, const std::string& caption, bool warning) override;

  // While held, port news stays queued; tasks still run.
  void Hold(bool hold);
  // Runs on the window thread inside the handler of every chunk.
  void SetChunkHook(std::function<void()> hook);
  // Runs task on the window thread; false when it did not finish within the bound.
  bool Run(std::function<void()> task,
           std::chrono::milliseconds bound = std::chrono::milliseconds(10000));
  // Waits until condition holds (checked under the window's lock); false at the bound.
  bool WaitFor(const std::function<bool()>& condition,
               std::chrono::milliseconds bound = std::chrono::milliseconds(10000));

  // What the window has seen. Read it inside WaitFor's condition or through Seen().
  struct Record {
    std::string received;
    std::vector<int> chunk_sizes;
    int posted = 0;
    int queued = 0;  // port news not yet handled
    int lost_count = 0;
    bool lost_was_current = false;
    std::vector<Message> messages;
  };
  Record seen_;
  Record Seen();

 private:
  void Loop();

  CComm* comm_ = nullptr;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<std::function<void()>> tasks_;
  std::deque<std::uint64_t> data_;
  std::deque<std::uint64_t> lost_;
  std::function<void()> hook_;
  bool hold_ = false;
  bool stop_ = false;
  std::thread thread_;
};

}  // namespace pelorus::testing
