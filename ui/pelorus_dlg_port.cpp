// The main window's dealings with its port: the news the watcher posts, a port lost and
// waited for, and a console server waited for while it is being reached.
#include <poll.h>

#include <QEventLoop>
#include <QLabel>
#include <QSocketNotifier>
#include <QTimer>

#include "serial/port_inventory.h"
#include "serial/port_names.h"
#include "ui/pelorus_dlg.h"
#include "ui_pelorus_dlg.h"

namespace pelorus {

void CPELORUSDlg::PostPortData(std::uint64_t ticket, int) {
  emit PortDataPosted(ticket);
}

void CPELORUSDlg::PostPortLost(std::uint64_t ticket) {
  emit PortLostPosted(ticket);
}

void CPELORUSDlg::ShowMessage(const std::string& text, const std::string& caption, bool warning) {
  emit MessagePosted(QString::fromLatin1(text), QString::fromLatin1(caption), warning);
}

void CPELORUSDlg::OnPortData(quint64 ticket) {
  gate_.RunChunk([this, ticket] {
    comm_.HandlePortData(ticket, [this](const char* bytes, int n) {
      dialogue_.OnPortData(bytes, static_cast<std::size_t>(n));
    });
  });
}

// The port went away under the watcher (cable pulled, adapter unplugged, console server
// restarted): the run waits for it, keeping its address, and goes on as soon as it is back;
// RESET and END end the wait.
void CPELORUSDlg::OnPortLost(quint64 ticket) {
  gate_.OutsideChunk([this, ticket] {
    if (!comm_.IsCurrent(ticket)) {
      return;
    }
    comm_.Close();
    FinishAttempt(pool::AttemptOutcome::kPortLost);
    const std::string target = DevicePathFor(comm_.PortName());
    ShowPortStatus(QStringLiteral("%1 was lost (%2): waiting for it to come back...")
                       .arg(QString::fromStdString(PortName()), QString::fromStdString(target)));
    port_return_.Start(target, [this] { return ReopenPort(); });
  });
}

bool CPELORUSDlg::ReopenPort() {
  if (OpenPort(run_settings_, true) != 1) {
    return false;
  }
  // A device seen again starts a conversation of its own; half a line from before is no part
  // of it.
  dialogue_.Restart();
  ShowPortStatus({});
  return true;
}

void CPELORUSDlg::ShowPortStatus(const QString& text) {
  // With nothing to say about the port, the line keeps the pool's last word.
  const QString shown = text.isEmpty() ? QString::fromStdString(pool_note_) : text;
  ui_->IDC_PORT_STATUS->setText(shown);
  ui_->IDC_PORT_STATUS->setVisible(!shown.isEmpty());
}

void CPELORUSDlg::OnMessage(const QString& text, const QString& caption, bool warning) {
  gate_.OutsideChunk([this, text, caption, warning] {
    MessageBox(text, caption.isEmpty() ? kCaption : caption,
               warning ? QMessageBox::Warning : QMessageBox::NoIcon);
  });
}

// Reaching a console server takes a while when it does not answer at once: the window paints
// meanwhile, and RESET, END and Escape call the attempt off; nothing else acts until it is over
// (the window's own handlers check opening_).
bool CPELORUSDlg::WaitReady(int fd, short events, std::chrono::milliseconds timeout) {
  QEventLoop loop;
  ready_loop_ = &loop;
  QSocketNotifier readable(fd, QSocketNotifier::Read);
  QSocketNotifier writable(fd, QSocketNotifier::Write);
  readable.setEnabled((events & POLLIN) != 0);
  writable.setEnabled((events & POLLOUT) != 0);
  connect(&readable, &QSocketNotifier::activated, &loop, &QEventLoop::quit);
  connect(&writable, &QSocketNotifier::activated, &loop, &QEventLoop::quit);
  QTimer::singleShot(timeout, &loop, &QEventLoop::quit);
  loop.exec();
  ready_loop_ = nullptr;
  return PollReady(fd, events, std::chrono::milliseconds(0));
}

int CPELORUSDlg::OpenPort(const PortSettings& settings, bool quietly) {
  opening_ = true;
  comm_.SetQuiet(quietly);
  const int result = comm_.Open(settings);
  comm_.SetQuiet(false);
  opening_ = false;
  return result;
}

void CPELORUSDlg::CallOffOpening() {
  if (ready_loop_ != nullptr) {
    ready_loop_->quit();
  }
  if (station_) {
    station_->CancelWait();
  }
}

// What the operator can do about a port that would not open: where it leads and why not.
QString CPELORUSDlg::OpenFailureDetail() const {
  const PortError& error = comm_.LastError();
  QString why;
  switch (error.kind) {
    case PortError::Kind::kMissing:
      why = QString::fromStdString(PortInventory::Explain(PortInventory::State::kMissing));
      break;
    case PortError::Kind::kPermissionDenied:
      why = QString::fromStdString(PortInventory::Explain(PortInventory::State::kPermission));
      break;
    case PortError::Kind::kBusy:
      why = QString::fromStdString(PortInventory::Explain(PortInventory::State::kBusy));
      break;
    case PortError::Kind::kNotATerminal:
      why = QString::fromStdString(PortInventory::Explain(PortInventory::State::kNotDevice));
      break;
    default:
      why = QString::fromStdString(error.reason);
      break;
  }
  const QString variable = QString::fromStdString(PortVariableFor(comm_.PortName()));
  return error.target.empty()
             ? QStringLiteral("%1 (set %2 to a device)").arg(why, variable)
             : QStringLiteral("%1: %2").arg(QString::fromStdString(error.target), why);
}

}  // namespace pelorus
