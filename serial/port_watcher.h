#pragma once

namespace pelorus {

// The window message that carries a received chunk (the platform's first user message plus
// 100); the chunk's length travels with it, the bytes lie in the port object's receive buffer.
constexpr unsigned WM_PORT_DATA = 0x0464;

// Thread results of WatchPort.
constexpr unsigned kWatchEnded = 1;
constexpr unsigned kWatchNotStarted = 0;
constexpr unsigned kWatchNotAPort = 0xFFFFFFFF;

// The port watcher's thread entry. parameter is a CObject* (as void*) that should be an open
// CComm. Waits without spinning until bytes arrive, the port goes away or closing begins; hands
// every chunk of received bytes to the window and waits until it has been handled.
//
// kWatchEnded after closing began or after the port was lost (the window is then told once);
// kWatchNotStarted when its wake-up event cannot be created (shown as a warning
// "Failed to create event for thread!", caption "comm Error!") or another watcher already
// runs for the port; kWatchNotAPort when parameter is null or not a CComm. When the watcher
// does not start, the port stays open but nothing is read.
unsigned WatchPort(void* parameter);

}  // namespace pelorus
