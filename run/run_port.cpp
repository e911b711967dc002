// A run's dealings with its port: the news the watcher posts, a console server waited for
// while it is being reached, and a port lost and waited for.
#include <poll.h>

#include <algorithm>
#include <cerrno>

#include "run/run.h"
#include "serial/path_watch.h"
#include "serial/port_inventory.h"
#include "serial/port_names.h"

namespace pelorus {
namespace {

constexpr std::chrono::milliseconds kRetry{500};
constexpr std::chrono::milliseconds kFirstBackOff{250};
constexpr std::chrono::milliseconds kLastBackOff{2000};

// Waits until fd is ready for events, run is stopped, or timeout has passed; fd < 0 waits for
// the stop alone. True when fd is ready. The stop's descriptor may still be readable from a
// stop of an earlier run: then it is quieted, and the wait goes on.
bool PollWithStop(Mailbox& mailbox, std::uint64_t run, int fd, short events,
                  std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (mailbox.Stopped(run)) {
      return false;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() < 0) {
      return false;
    }
    pollfd fds[2] = {{mailbox.StopFd(), POLLIN, 0}, {fd, events, 0}};
    const int ready = poll(fds, fd >= 0 ? 2 : 1, static_cast<int>(left.count()) + 1);
    if (ready < 0 && errno != EINTR) {
      return false;
    }
    if (ready > 0 && (fds[0].revents & POLLIN) != 0) {
      mailbox.Rearm();
    }
    if (ready > 0 && fd >= 0 && fds[1].revents != 0) {
      return !mailbox.Stopped(run);
    }
  }
}

}  // namespace

void Run::PostPortData(std::uint64_t ticket, int) {
  mailbox_.Post({Mailbox::Event::Kind::kPortData, static_cast<std::int64_t>(ticket)});
}

void Run::PostPortLost(std::uint64_t ticket) {
  mailbox_.Post({Mailbox::Event::Kind::kPortLost, static_cast<std::int64_t>(ticket)});
}

void Run::ShowMessage(const std::string& text, const std::string&, bool warning) {
  observer_.Message(
      run_, warning ? RunObserver::MessageKind::kWarning : RunObserver::MessageKind::kInformation,
      text, {});
}

// Reaching a console server takes a while when it does not answer at once; a stop calls it
// off, and the open then fails.
bool Run::WaitReady(int fd, short events, std::chrono::milliseconds timeout) {
  return PollWithStop(mailbox_, run_, fd, events, timeout);
}

int Run::OpenPort(bool quietly) {
  // A port with a name of its own is not a COMn: what the name map says of COMn is no news.
  comm_.SetQuiet(quietly || !run_port_name_.empty());
  const int result = comm_.Open(run_settings_);
  comm_.SetQuiet(false);
  return result;
}

// What the operator can do about a port that would not open: where it leads and why not.
std::string Run::OpenFailureDetail() const {
  const PortError& error = comm_.LastError();
  std::string why;
  switch (error.kind) {
    case PortError::Kind::kMissing:
      why = PortInventory::Explain(PortInventory::State::kMissing);
      break;
    case PortError::Kind::kPermissionDenied:
      why = PortInventory::Explain(PortInventory::State::kPermission);
      break;
    case PortError::Kind::kBusy:
      why = PortInventory::Explain(PortInventory::State::kBusy);
      break;
    case PortError::Kind::kNotATerminal:
      why = PortInventory::Explain(PortInventory::State::kNotDevice);
      break;
    default:
      why = error.reason;
      break;
  }
  return error.target.empty() ? why + " (set " + PortVariableFor(comm_.PortName()) + " to a device)"
                              : error.target + ": " + why;
}

// The port went away under the watcher (cable pulled, adapter unplugged, console server
// restarted): the run waits for it, keeping its address, and goes on as soon as it is back.
// A device path is tried again the moment its folder changes and besides every kRetry; a
// console server after a back-off growing to kLastBackOff. Nothing is polled in between.
bool Run::WaitForPort(std::uint64_t run) {
  comm_.Close();
  port_open_ = false;
  FinishAttempt(pool::AttemptOutcome::kPortLost);
  RecordFinishedAttempts();
  const std::string target = comm_.Target();
  Publish(pool::StationActivity::kPortLost, target);
  observer_.Status(RunObserver::StatusKind::kPort,
                   PortName() + " was lost (" + target + "): waiting for it to come back...");
  const bool server = target.find("://") != std::string::npos;
  std::unique_ptr<PathWatch> watch = server ? nullptr : std::make_unique<PathWatch>(target);
  std::chrono::milliseconds pause = server ? kFirstBackOff : kRetry;
  for (;;) {
    PollWithStop(mailbox_, run, watch ? watch->Fd() : -1, POLLIN, pause);
    if (mailbox_.Stopped(run)) {
      return false;
    }
    if (watch) {
      watch->Drain();
    }
    if (OpenPort(true) == 1) {
      break;
    }
    if (server) {
      pause = std::min(pause * 2, kLastBackOff);
    }
  }
  // A device seen again starts a conversation of its own; half a line from before is no part
  // of it.
  port_open_ = true;
  dialogue_.Restart();
  Publish(pool::StationActivity::kWaitingForBoard);
  observer_.Status(RunObserver::StatusKind::kPort, {});
  return true;
}

}  // namespace pelorus
