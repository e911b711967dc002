#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace pelorus {

// What the serial link needs from the window that owns the port (the "notify window").
// Tests implement it with a plain thread that plays the window's thread.
class PortNotify {
 public:
  virtual ~PortNotify() = default;

  // WM_PORT_DATA. Called on the watcher's thread when n bytes (1 to 4095) lie in the port
  // object's receive buffer. Must queue the chunk for the window's thread and return at once;
  // there the window calls CComm::HandlePortData(ticket, ...). The watcher waits until that
  // call has run the handler, or until the port starts to close.
  virtual void PostPortData(std::uint64_t ticket, int n) = 0;

  // Called at most once per open, on the watcher's thread, when the port went away under the
  // watcher (hang-up, I/O error). Must queue the news for the window's thread and return.
  virtual void PostPortLost(std::uint64_t ticket) = 0;

  // An application message box with an OK button only (warning icon when asked). An empty
  // caption means the application's name. May be called on either thread; it must not make
  // the caller wait for the window's thread.
  virtual void ShowMessage(const std::string& text, const std::string& caption, bool warning) = 0;

  // Called on the window's thread while CComm::Open waits for a console server (connect,
  // Telnet negotiation, a name lookup's end): waits until fd is ready for events (poll()
  // flags; an error or hang-up on fd also counts as ready) or timeout has passed, letting the
  // window paint meanwhile. True when ready. The default waits in poll() and paints nothing.
  // The window may run its event loop here; a Close it makes meanwhile makes the open fail.
  virtual bool WaitReady(int fd, short events, std::chrono::milliseconds timeout);
};

// The plain wait behind PortNotify::WaitReady: poll() on fd alone, interrupted waits resumed
// for the time left.
bool PollReady(int fd, short events, std::chrono::milliseconds timeout);

}  // namespace pelorus
