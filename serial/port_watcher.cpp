#include "port_watcher.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>

#include "comm.h"

namespace pelorus {

unsigned WatchPort(void* parameter) {
  auto* object = static_cast<CObject*>(parameter);
  if (object == nullptr || !object->IsKindOf(&CComm::classCComm)) {
    return kWatchNotAPort;
  }
  auto& comm = *static_cast<CComm*>(object);

  const int wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake < 0) {
    if (PortNotify* notify = comm.notify_.load()) {
      notify->ShowMessage("Failed to create event for thread!", "comm Error!", true);
    }
    return kWatchNotStarted;
  }
  if (!comm.BeginWatch(wake)) {
    close(wake);
    return kWatchNotStarted;
  }

  char chunk[CComm::kReceiveBufferSize];
  const int port = comm.port_ != nullptr ? comm.port_->Fd() : -1;
  pollfd waits[2] = {{port, POLLIN, 0}, {wake, POLLIN, 0}};
  bool lost = false;
  // A console server's bytes may have come in with its negotiation, before there was anyone
  // to hand them to: the first round reads without waiting.
  bool first = true;
  while (comm.connected_.load() && !lost) {
    short events = 0;
    if (!first) {
      if (poll(waits, 2, -1) < 0) {
        // Only a signal is worth another wait; anything else would fail again at once.
        lost = errno != EINTR;
        continue;
      }
      if (waits[1].revents != 0) {
        break;  // closing has begun
      }
      events = waits[0].revents;
      if (events == 0) {
        continue;
      }
    }
    first = false;
    // Data first, whatever else the line reports, and all of it before acting on a hang-up:
    // a hung-up line stays readable for ever, so after that it is not polled again.
    bool closing = false;
    int n = 0;
    while (!closing && (n = comm.ReadChunk(chunk, &lost)) > 0) {
      closing = !comm.DeliverChunk(chunk, n);
    }
    if (closing) {
      break;
    }
    lost = lost || (events & (POLLHUP | POLLERR | POLLNVAL)) != 0;
  }
  if (lost) {
    comm.ReportLost();
  }
  comm.EndWatch();
  close(wake);
  return kWatchEnded;
}

}  // namespace pelorus
