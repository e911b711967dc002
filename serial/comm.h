#pragma once

// CONTRACT DRAFT: the public members below are what the window and the watcher use; the
// private part and the root object (object.h) are the serial layer's to complete.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "port_notify.h"
#include "port_settings.h"

namespace pelorus {

// One serial port: opens and configures it from a PortSettings record, starts the port
// watcher, writes command bytes and closes the port. Open, Write, Close and HandlePortData
// run on the window's thread; ReadAvailable on the watcher's.
class CComm /* : public CObject */ {
 public:
  static constexpr std::size_t kReceiveBufferSize = 4096;
  static constexpr int kMaxChunk = 4095;

  CComm();
  ~CComm();  // closes the port if it is still open
  CComm(const CComm&) = delete;
  CComm& operator=(const CComm&) = delete;

  // The window that receives WM_PORT_DATA, the port-lost news and the message boxes.
  void SetNotifyWindow(PortNotify* window);

  // 1 when the port is open, configured and its watcher started; 0 otherwise (the object then
  // holds no port). Releases whatever an earlier open left first.
  int Open(const PortSettings& settings);
  // 1 when the line state was applied, 0 when the platform refused it. Called by Open only.
  int Configure(const PortSettings& settings);
  // Bytes now waiting, at most 4095, read into buffer; 0 when none or the read failed.
  int ReadAvailable(char* buffer);
  // Sends count bytes, waiting up to 1000 ms for them to go out; on failure shows "ERROR".
  // Always 1.
  int Write(std::size_t count, const char* bytes);
  // Stops the watcher (never deadlocking with a chunk in the window's hands), then drops the
  // modem lines, purges and closes the port. Safe when nothing is open.
  void Close();

  // Window thread, for a chunk posted with ticket: when the port is still the open it was
  // posted for, runs handler(receive buffer, n) and then lets the watcher read on; a stale
  // ticket runs nothing.
  void HandlePortData(std::uint64_t ticket, const std::function<void(const char*, int)>& handler);
  // True while ticket belongs to the current open (used to ignore stale port-lost news).
  bool IsCurrent(std::uint64_t ticket) const;

  bool IsConnected() const;
  // The name of the last port asked for: "COM1" ... "COM5" or "\\.\TELNET".
  const std::string& PortName() const;
};

}  // namespace pelorus
