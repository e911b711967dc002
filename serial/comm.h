#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "object.h"
#include "port_error.h"
#include "port_notify.h"
#include "port_settings.h"
#include "transport.h"

namespace pelorus {

// One serial port: opens and configures it from a PortSettings record, starts the port
// watcher, writes command bytes and closes the port. Open, Write, Close and HandlePortData
// run on the window's thread; ReadAvailable on the watcher's. The line under it is a local
// terminal device or a console server's TCP or Telnet port (see OpenTransport); the window
// sees no difference, save that opening a console server waits through
// PortNotify::WaitReady.
//
// Tickets: every chunk and every port-lost news carries a ticket, (open generation << 32) |
// sequence. The generation counts successful opens from 1, the sequence counts the news of one
// open from 1, so 0 is never a ticket and news from an earlier open is recognisably stale.
class CComm : public CObject {
 public:
  static constexpr std::size_t kReceiveBufferSize = 4096;
  static constexpr int kMaxChunk = 4095;
  static constexpr std::chrono::milliseconds kWriteTimeout{1000};
  static constexpr std::chrono::milliseconds kConnectTimeout{3000};

  static const CRuntimeClass classCComm;
  // The factory behind classCComm: a new closed port object.
  static CObject* CreateObject();

  CComm();
  ~CComm() override;  // closes the port if it is still open
  CComm(const CComm&) = delete;
  CComm& operator=(const CComm&) = delete;

  const CRuntimeClass* GetRuntimeClass() const override;

  // The window that receives WM_PORT_DATA, the port-lost news and the message boxes.
  void SetNotifyWindow(PortNotify* window);
  // How long Write waits for the line to take the bytes (kWriteTimeout unless changed).
  void SetWriteTimeout(std::chrono::milliseconds timeout);
  // How long Open waits for each stage of reaching a console server: name lookup and connect
  // together, then the Telnet negotiation (kConnectTimeout unless changed).
  void SetConnectTimeout(std::chrono::milliseconds timeout);
  // Quiet: Open prints nothing on stderr (tries again and again while a lost port is waited
  // for would fill it).
  void SetQuiet(bool quiet);

  // 1 when the port is open, configured and its watcher started; 0 otherwise (the object then
  // holds no port, and LastError tells why). Releases whatever an earlier open left first.
  // Prints the device path and, on failure, the reason on stderr. Bounded: a console server
  // costs at most two connect time-outs, waited through the notify window's WaitReady. 0 at
  // once when called again during such a wait.
  int Open(const PortSettings& settings);
  // 1 when the line state was applied (for a Telnet port: acknowledged by the server), 0 when
  // it was refused; LastError tells why. Called by Open only.
  int Configure(const PortSettings& settings);
  // Why the last Open failed; kind kNone after a successful one (and before any).
  const PortError& LastError() const;
  // Bytes now waiting, at most 4095, read into buffer; 0 when none or the read failed.
  int ReadAvailable(char* buffer);
  // Sends count bytes, waiting up to the write time-out for them to go out; on failure or
  // time-out shows "ERROR" (caption: the application's name), except when the device has gone
  // (the watcher reports that as a lost port). Always 1, also with no port.
  int Write(std::size_t count, const char* bytes);
  // Stops the watcher (never deadlocking with a chunk in the window's hands), then closes the
  // line (a terminal's modem lines dropped and queues purged first). Safe when nothing is open. Not
  // on the watcher's thread (PortNotify calls only queue). Called from inside WaitReady during an
  // Open, it makes that open fail (kCancelled) as soon as the wait returns.
  void Close();

  // Window thread, for a chunk posted with ticket: when the port is still the open it was
  // posted for, runs handler(chunk, n) and then lets the watcher read on; a stale ticket runs
  // nothing. The handler gets a copy of the receive buffer that stays valid for its run.
  void HandlePortData(std::uint64_t ticket, const std::function<void(const char*, int)>& handler);
  // True while ticket belongs to the current open (used to ignore stale port-lost news).
  bool IsCurrent(std::uint64_t ticket) const;

  // True from a successful Open until Close, also after the port was lost under the watcher.
  bool IsConnected() const;
  // The name of the last port asked for: "COM1" ... "COM5" or "\\.\TELNET".
  const std::string& PortName() const;
  // The device Open reaches, in place of the one the port's name maps to (a station that names
  // each port's device itself); empty, the default: the name's. Between opens only.
  void SetTarget(const std::string& target);
  // The device path or console server URL that Open reaches for the port last asked for.
  std::string Target() const;

 private:
  friend unsigned WatchPort(void* parameter);

  // Watcher side, see port_watcher.cpp.
  // Registers the running watcher and its wake-up descriptor; false when one already runs.
  bool BeginWatch(int wakeFd);
  void EndWatch();
  // ReadAvailable that also sets *lost when the device has gone.
  int ReadChunk(char* buffer, bool* lost);
  // Hands n bytes to the window and waits until it has handled them; false once closing has
  // begun (the chunk may then never be handled).
  bool DeliverChunk(const char* chunk, int n);
  // Tells the window once that the port went away, unless closing has begun.
  void ReportLost();
  std::uint64_t NextTicket();
  // The waits of an open, through the notify window; they end at once after a Close.
  OpenWaiter Waiter();
  // Ends a failed open: the line released, the reason printed; 0.
  int FailOpen();
  // A line about opening on stderr, unless quiet.
  void Report(const std::string& line) const;

  std::unique_ptr<Transport> port_;
  // Written under handoff_mutex_ so that a waiting watcher cannot miss the change.
  std::atomic<bool> connected_{false};
  char receive_buffer_[kReceiveBufferSize] = {};
  std::atomic<PortNotify*> notify_{nullptr};
  std::chrono::milliseconds write_timeout_ = kWriteTimeout;
  std::chrono::milliseconds connect_timeout_ = kConnectTimeout;
  bool quiet_ = false;
  PortError last_error_;
  bool opening_ = false;         // Open is waiting; window thread only, like the two above
  bool open_cancelled_ = false;  // Close came during that wait
  std::string port_name_;
  std::string target_;
  std::uint32_t generation_ = 0;  // changed only while no watcher runs
  std::uint32_t sequence_ = 0;    // the watcher's
  std::thread watcher_;

  mutable std::mutex handoff_mutex_;
  std::condition_variable handoff_cv_;
  std::uint64_t pending_ticket_ = 0;  // the chunk in the window's hands; 0 for none
  int pending_count_ = 0;
  int wake_fd_ = -1;  // the running watcher's eventfd; -1 for none
  bool watching_ = false;
};

}  // namespace pelorus
