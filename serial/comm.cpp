#include "comm.h"

#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <iostream>
#include <system_error>

#include "port_names.h"
#include "port_watcher.h"

namespace pelorus {

const CRuntimeClass CComm::classCComm = {"CComm", &CObject::classCObject, &CComm::CreateObject};

CObject* CComm::CreateObject() {
  return new CComm;
}

CComm::CComm() = default;

CComm::~CComm() {
  Close();
}

const CRuntimeClass* CComm::GetRuntimeClass() const {
  return &classCComm;
}

void CComm::SetNotifyWindow(PortNotify* window) {
  notify_.store(window);
}

void CComm::SetWriteTimeout(std::chrono::milliseconds timeout) {
  write_timeout_ = timeout;
}

void CComm::SetQuiet(bool quiet) {
  quiet_ = quiet;
}

void CComm::Report(const std::string& line) const {
  if (!quiet_) {
    std::cerr << "pelorus: " << line << '\n';
  }
}

void CComm::SetConnectTimeout(std::chrono::milliseconds timeout) {
  connect_timeout_ = timeout;
}

int CComm::Open(const PortSettings& settings) {
  // A second START while the window waits for a console server must not pull the port from
  // under the first.
  if (opening_) {
    std::cerr << "pelorus: " << port_name_ << " is still being opened\n";
    return 0;
  }
  // A START without RESET would otherwise leave the earlier port and its watcher behind.
  Close();
  port_name_ = PortNameFor(settings.port);
  last_error_ = PortError{};
  const std::string target = Target();
  if (target.empty()) {
    last_error_ = PortError{PortError::Kind::kNoDevice, "",
                            "no device is configured for " + ShortPortName(port_name_)};
    Report(port_name_ + " has no device");
    return 0;
  }
  Report(port_name_ + " is " + target);
  opening_ = true;
  open_cancelled_ = false;
  port_ = OpenTransport(target, Waiter(), &last_error_);
  if (port_ == nullptr || open_cancelled_) {
    return FailOpen();
  }
  if (Configure(settings) == 0 || open_cancelled_) {
    return FailOpen();
  }
  opening_ = false;
  ++generation_;
  sequence_ = 0;
  connected_.store(true);
  try {
    watcher_ = std::thread(WatchPort, static_cast<void*>(static_cast<CObject*>(this)));
  } catch (const std::system_error& e) {
    // Without a watcher nothing would ever be read: an open that cannot listen has failed.
    std::cerr << "pelorus: cannot start the port watcher: " << e.what() << '\n';
    last_error_ = PortError{PortError::Kind::kOther, port_->Target(), e.what()};
    connected_.store(false);
    port_.reset();
    return 0;
  }
  return 1;
}

int CComm::Configure(const PortSettings& settings) {
  return port_ != nullptr && port_->Configure(settings, Waiter(), &last_error_) ? 1 : 0;
}

const PortError& CComm::LastError() const {
  return last_error_;
}

OpenWaiter CComm::Waiter() {
  auto wait = [this](int fd, short events, std::chrono::milliseconds timeout) {
    if (open_cancelled_) {
      return false;
    }
    PortNotify* notify = notify_.load();
    const bool ready =
        notify != nullptr ? notify->WaitReady(fd, events, timeout) : PollReady(fd, events, timeout);
    return ready && !open_cancelled_;
  };
  return OpenWaiter{wait, connect_timeout_};
}

int CComm::FailOpen() {
  opening_ = false;
  if (open_cancelled_) {
    last_error_ = PortError{PortError::Kind::kCancelled,
                            port_ != nullptr ? port_->Target() : last_error_.target,
                            "the port was closed while it was being opened"};
  }
  if (last_error_.kind == PortError::Kind::kLineSettingsRefused) {
    Report(last_error_.target + " does not take the line settings: " + last_error_.reason);
  } else {
    Report(last_error_.OpenFailure());
  }
  port_.reset();
  return 0;
}

int CComm::ReadAvailable(char* buffer) {
  bool lost = false;
  return ReadChunk(buffer, &lost);
}

int CComm::Write(std::size_t count, const char* bytes) {
  if (port_ == nullptr || opening_) {
    return 1;
  }
  const Transport::WriteResult result = port_->Write(bytes, count, write_timeout_);
  // A device that went away is reported once, by the watcher, as a lost port; an "ERROR" on
  // top of that would only tell the operator the same thing twice.
  if (result != Transport::WriteResult::kDone && result != Transport::WriteResult::kLost) {
    if (PortNotify* notify = notify_.load()) {
      notify->ShowMessage("ERROR", "", false);
    }
  }
  return 1;
}

void CComm::Close() {
  // Inside a wait of Open: that open still uses the line, and gives it up once the wait ends.
  if (opening_) {
    open_cancelled_ = true;
    return;
  }
  {
    std::lock_guard<std::mutex> lock(handoff_mutex_);
    connected_.store(false);
    pending_ticket_ = 0;
    if (wake_fd_ >= 0) {
      const std::uint64_t one = 1;
      // The eventfd counter cannot overflow from these few wake-ups, so the write succeeds.
      [[maybe_unused]] const ssize_t written = write(wake_fd_, &one, sizeof one);
    }
  }
  handoff_cv_.notify_all();
  // The watcher may still be inside poll() on the port: the port is closed only after it ended.
  if (watcher_.joinable()) {
    watcher_.join();
  }
  port_.reset();
}

void CComm::HandlePortData(std::uint64_t ticket,
                           const std::function<void(const char*, int)>& handler) {
  // A copy, because a handler that reopens the port (through a nested event loop) would
  // otherwise share the receive buffer with the next watcher.
  char chunk[kReceiveBufferSize];
  int count = 0;
  {
    std::lock_guard<std::mutex> lock(handoff_mutex_);
    if (ticket == 0 || ticket != pending_ticket_ || !connected_.load()) {
      return;
    }
    count = pending_count_;
    std::memcpy(chunk, receive_buffer_, static_cast<std::size_t>(count));
  }
  handler(chunk, count);
  {
    std::lock_guard<std::mutex> lock(handoff_mutex_);
    if (pending_ticket_ == ticket) {
      pending_ticket_ = 0;
    }
  }
  handoff_cv_.notify_all();
}

bool CComm::IsCurrent(std::uint64_t ticket) const {
  return connected_.load() && generation_ != 0 && (ticket >> 32) == generation_;
}

bool CComm::IsConnected() const {
  return connected_.load();
}

void CComm::SetTarget(const std::string& target) {
  target_ = target;
}

std::string CComm::Target() const {
  return target_.empty() ? DevicePathFor(port_name_) : target_;
}

const std::string& CComm::PortName() const {
  return port_name_;
}

bool CComm::BeginWatch(int wakeFd) {
  std::lock_guard<std::mutex> lock(handoff_mutex_);
  if (watching_) {
    return false;
  }
  watching_ = true;
  wake_fd_ = wakeFd;
  return true;
}

void CComm::EndWatch() {
  std::lock_guard<std::mutex> lock(handoff_mutex_);
  watching_ = false;
  wake_fd_ = -1;
}

int CComm::ReadChunk(char* buffer, bool* lost) {
  *lost = false;
  if (port_ == nullptr) {
    return 0;
  }
  Transport::ReadStatus status = Transport::ReadStatus::kNothing;
  const int n = port_->Read(buffer, kMaxChunk, &status);
  *lost = status == Transport::ReadStatus::kLost;
  return n;
}

bool CComm::DeliverChunk(const char* chunk, int n) {
  PortNotify* notify = notify_.load();
  std::unique_lock<std::mutex> lock(handoff_mutex_);
  if (!connected_.load()) {
    return false;
  }
  if (notify == nullptr) {
    return true;  // no window to show it to
  }
  std::memcpy(receive_buffer_, chunk, static_cast<std::size_t>(n));
  pending_count_ = n;
  const std::uint64_t ticket = NextTicket();
  pending_ticket_ = ticket;
  lock.unlock();
  notify->PostPortData(ticket, n);
  lock.lock();
  handoff_cv_.wait(lock, [&] { return pending_ticket_ != ticket || !connected_.load(); });
  return connected_.load();
}

void CComm::ReportLost() {
  PortNotify* notify = notify_.load();
  if (notify != nullptr && connected_.load()) {
    notify->PostPortLost(NextTicket());
  }
}

std::uint64_t CComm::NextTicket() {
  return (static_cast<std::uint64_t>(generation_) << 32) | ++sequence_;
}

}  // namespace pelorus
