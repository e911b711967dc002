#pragma once

#include <QObject>
#include <QTimer>
#include <chrono>
#include <functional>
#include <memory>
#include <string>

class QSocketNotifier;

namespace pelorus {

class PathWatch;

// Waits for a lost port to come back, and tries to open it again whenever it may have: for a
// device path at once when the path's folder changes (an adapter plugged in again) and besides
// every kRetry; for a console server (a tcp:// or telnet:// target) after a back-off that grows
// from kFirstBackOff to kLastBackOff. Nothing is polled in between: the wait costs no CPU to
// speak of. One wait at a time; the window's thread only.
class PortReturn : public QObject {
 public:
  static constexpr std::chrono::milliseconds kRetry{500};
  static constexpr std::chrono::milliseconds kFirstBackOff{250};
  static constexpr std::chrono::milliseconds kLastBackOff{2000};

  // Tries to open the port again; true when it is open.
  using Reopen = std::function<bool()>;

  PortReturn();
  ~PortReturn() override;

  // Starts waiting for target (the device path or URL the port maps to). reopen is called
  // on the window's thread, never from within this call.
  void Start(const std::string& target, Reopen reopen);
  // Ends the wait at once; reopen is not called again.
  void Stop();

 private:
  void Try();

  Reopen reopen_;
  bool waiting_ = false;
  bool server_ = false;
  std::chrono::milliseconds back_off_{0};
  QTimer timer_;
  std::unique_ptr<PathWatch> watch_;
  std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace pelorus
