#include "comm.h"

#include <unistd.h>

#include <cerrno>
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

int CComm::Open(const PortSettings& settings) {
  // A START without RESET would otherwise leave the earlier port and its watcher behind.
  Close();
  port_name_ = PortNameFor(settings.port);
  const std::string path = DevicePathFor(port_name_);
  if (path.empty()) {
    std::cerr << "pelorus: " << port_name_ << " has no device\n";
    return 0;
  }
  std::cerr << "pelorus: " << port_name_ << " is " << path << '\n';
  if (const int error = port_.Open(path); error != 0) {
    std::cerr << "pelorus: cannot open " << path << ": " << std::strerror(error) << '\n';
    return 0;
  }
  if (Configure(settings) == 0) {
    std::cerr << "pelorus: " << path << " does not take the line settings\n";
    port_.Close();
    return 0;
  }
  ++generation_;
  sequence_ = 0;
  connected_.store(true);
  try {
    watcher_ = std::thread(WatchPort, static_cast<void*>(static_cast<CObject*>(this)));
  } catch (const std::system_error& e) {
    // Without a watcher nothing would ever be read: an open that cannot listen has failed.
    std::cerr << "pelorus: cannot start the port watcher: " << e.what() << '\n';
    connected_.store(false);
    port_.Close();
    return 0;
  }
  return 1;
}

int CComm::Configure(const PortSettings& settings) {
  return port_.Configure(settings) ? 1 : 0;
}

int CComm::ReadAvailable(char* buffer) {
  bool lost = false;
  return ReadChunk(buffer, &lost);
}

int CComm::Write(std::size_t count, const char* bytes) {
  if (!port_.IsOpen()) {
    return 1;
  }
  const PosixPort::WriteResult result = port_.Write(bytes, count, write_timeout_);
  // A device that went away is reported once, by the watcher, as a lost port; an "ERROR" on
  // top of that would only tell the operator the same thing twice.
  if (result != PosixPort::WriteResult::kDone && result != PosixPort::WriteResult::kLost) {
    if (PortNotify* notify = notify_.load()) {
      notify->ShowMessage("ERROR", "", false);
    }
  }
  return 1;
}

void CComm::Close() {
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
  port_.Close();
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
  if (!port_.IsOpen()) {
    return 0;
  }
  const int waiting = port_.BytesWaiting();
  if (waiting < 0 && (errno == EIO || errno == ENXIO)) {
    *lost = true;
    return 0;
  }
  if (waiting <= 0) {
    return 0;
  }
  const int count = waiting < kMaxChunk ? waiting : kMaxChunk;
  PosixPort::ReadStatus status = PosixPort::ReadStatus::kNothing;
  const int n = port_.Read(buffer, static_cast<std::size_t>(count), &status);
  *lost = status == PosixPort::ReadStatus::kLost;
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
