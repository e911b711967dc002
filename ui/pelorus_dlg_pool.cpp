// The main window's dealings with the address pool, where one is configured.
#include <QComboBox>
#include <QDateTime>
#include <QLabel>
#include <cstdio>

#include "serial/port_inventory.h"
#include "serial/port_names.h"
#include "ui/pelorus_dlg.h"
#include "ui/window_template.h"
#include "ui_pelorus_dlg.h"

namespace pelorus {
namespace {

QString Q(const std::string& text) {
  return QString::fromStdString(text);
}

}  // namespace

// "COM1" ... "COM5" or "TELNET": the port as the operator and the record know it.
std::string CPELORUSDlg::PortName() const {
  return ShortPortName(comm_.PortName());
}

std::string CPELORUSDlg::StationDevice() const {
  const int port =
      PortNumberOf(ui_->IDC_PORT->currentText().toLatin1().toStdString(), port_number_);
  const std::string name = PortNameFor(static_cast<unsigned>(port));
  return PortInventory().StableName(DevicePathFor(name), ShortPortName(name));
}

// The station follows the port list: a restarted window, or a new one on the same device,
// shows the address that was open there.
void CPELORUSDlg::ShowStationAddress() {
  station_->SetDevice(StationDevice());
  station_->RequestCurrent([this](std::optional<Mac48> open) {
    if (running_ || opening_) {
      return;
    }
    port_text_ = ui_->IDC_PORT->currentText().toLatin1().toStdString();
    if (open) {
      SetOctets(*open);
    } else {
      for (int k = 1; k <= 6; ++k) {
        fields_.Octet(k).clear();
      }
    }
    StoreFields();
  });
  ShowPoolStatus();
}

// Before the port opens: the station is this window's for the run, and the run has its
// address, or nothing is answered at all.
bool CPELORUSDlg::StartOnPool() {
  station_->SetDevice(StationDevice());
  std::vector<std::string> notes;
  std::vector<std::string> unannounced;
  std::string error;
  opening_ = true;
  PoolStation::Answer answer = station_->Claim(&notes, &unannounced, &error);
  for (const std::string& note : notes) {
    LogNote(note);
  }
  for (const std::string& board : unannounced) {
    LogNote(board + ": done, its banner was never closed");
    MessageBox(QStringLiteral("The board with %1 was written and verified, but PELORUS ended "
                              "before its banner was closed. That board is done: take it off "
                              "the bench and do not run it again.")
                   .arg(Q(board)),
               kCaption, QMessageBox::Information);
  }
  Mac48 address = 0;
  if (answer == PoolStation::Answer::kDone) {
    answer = station_->Lease(&address, &error);
  }
  opening_ = false;
  if (answer == PoolStation::Answer::kDone) {
    SetOctets(address);
    StoreFields();
    ShowPoolStatus();
    return true;
  }
  station_->Unclaim();
  if (answer != PoolStation::Answer::kCancelled) {
    MessageBox(QStringLiteral("Pool %1 gives station %2 no address: the run cannot start.")
                   .arg(Q(station_->Name()), Q(station_->Station())),
               kCaption, QMessageBox::Warning, Q(error));
  }
  ShowPoolStatus();
  return false;
}

void CPELORUSDlg::SetOctets(Mac48 address) {
  for (int k = 1; k <= 6; ++k) {
    char octet[3];
    std::snprintf(octet, sizeof octet, "%02X",
                  static_cast<unsigned>((address >> (8 * (6 - k))) & 0xFF));
    fields_.Octet(k) = octet;
  }
}

void CPELORUSDlg::ShowPoolStatus() {
  station_->RequestStatusLine([this](const std::string& line) {
    // A long station name (a by-id path) must not push the counts out of sight: the line is
    // cut at the label's end, and shown whole as its tool tip.
    QLabel& label = *ui_->IDC_POOL_STATUS;
    label.setText(label.fontMetrics().elidedText(Q(line), Qt::ElideRight, label.width()));
    label.setToolTip(Q(line));
  });
}

// A line of the window's own in the log, between the device's lines.
void CPELORUSDlg::LogNote(const std::string& note) {
  log_text_ += "\r\n[" + note + "]\r\n";
  pool_note_ = note;
  if (!ui_->IDC_PORT_STATUS->isVisible()) {
    ShowPortStatus({});
  }
}

void CPELORUSDlg::StopRunFor(const QString& text, const std::string& detail) {
  gate_.StopChunkThen([this, text, detail] {
    if (running_) {
      OnReset();
    }
    ShowPoolStatus();
    MessageBox(text, kCaption, QMessageBox::Warning, Q(detail));
  });
}

// A step the run cannot do without: while the store does not answer, the run waits for it
// as for a lost port, and the status line says so.
PoolStation::Answer CPELORUSDlg::StoreStep(
    const std::function<PoolStation::Answer(std::string*)>& step, std::string* error) {
  const PoolStation::Answer answer = station_->UntilAnswered(
      [&](std::string* why) {
        const PoolStation::Answer tried = step(why);
        *error = *why;
        return tried;
      },
      [this](const std::string& why) {
        ShowPortStatus(QStringLiteral("pool %1 does not answer (%2): waiting for it...")
                           .arg(Q(station_->Name()), Q(why)));
      });
  ShowPortStatus({});
  return answer;
}

// No address goes into a device without being on record: the mark is durable before the
// command leaves, or the command does not leave. An address that went into a board before
// and was never confirmed is spent: the station leases a new one, and the shown one is held
// back.
bool CPELORUSDlg::AboutToWrite(const std::string& address) {
  if (!station_) {
    return true;
  }
  std::string error;
  Mac48 written = 0;
  const std::string port = PortName() + " " + DevicePathFor(comm_.PortName());
  const PoolStation::Answer answer = StoreStep(
      [&](std::string* why) {
        return station_->LeaseAndMarkWritten(&written, port, attempts_.CodeAt(), why);
      },
      &error);
  if (answer == PoolStation::Answer::kDone) {
    const auto shown = ParseMac48(address);
    if (shown != written) {
      const std::string at = written_ && written_->first == shown ? " at " + written_->second : "";
      LogNote(address + " held back: written" + at + ", never confirmed");
      SetOctets(written);
      StoreFields();
      ShowPoolStatus();
    }
    written_ = std::make_pair(written, QTime::currentTime().toString("HH:mm:ss").toStdString());
    attempts_.Writing(written, port);
    return true;
  }
  if (answer == PoolStation::Answer::kRefused) {
    StopRunFor(QStringLiteral("%1 could not be put on record in pool %2, so it was not written "
                              "into the device. The run has stopped.")
                   .arg(Q(address), Q(station_->Name())),
               error);
  }
  return false;
}

bool CPELORUSDlg::Verified(const std::string& address, const std::string& line) {
  if (!station_) {
    return true;
  }
  const auto parsed = ParseMac48(address);
  std::string error = "the address is not one of the pool's";
  bool journaled = false;
  const PoolStation::Answer answer = parsed
                                         ? station_->MarkVerified(*parsed, line, &journaled, &error)
                                         : PoolStation::Answer::kRefused;
  if (answer == PoolStation::Answer::kDone) {
    written_.reset();
    FinishAttempt(pool::AttemptOutcome::kVerified);
    if (journaled) {
      LogNote(address + " verified; kept in the station's journal until pool " + station_->Name() +
              " answers (" + error + ")");
    }
    ShowPoolStatus();
    return true;
  }
  if (answer != PoolStation::Answer::kCancelled) {
    StopRunFor(QStringLiteral("The device shows %1, but pool %2 could not record it as verified. "
                              "The run has stopped.")
                   .arg(Q(address), Q(station_->Name())),
               error);
  }
  return false;
}

void CPELORUSDlg::Noted(Step step) {
  if (!station_) {
    return;
  }
  switch (step) {
    case Step::kCodeAnswered: {
      std::optional<AttemptRecorder::Finished> ended;
      attempts_.Begin(&ended);
      if (ended) {
        station_->RecordAttempt(std::move(*ended));
      }
      break;
    }
    case Step::kAddressSent:
      attempts_.AddressSent();
      break;
    case Step::kReadBackSent:
      attempts_.ReadBackSent();
      break;
    case Step::kWrongReadBack:
      FinishAttempt(pool::AttemptOutcome::kWrongReadBack);
      break;
  }
}

void CPELORUSDlg::FinishAttempt(pool::AttemptOutcome outcome) {
  if (!station_) {
    return;
  }
  if (auto finished = attempts_.End(outcome)) {
    station_->RecordAttempt(std::move(*finished));
  }
}

DialogueSurroundings::NextAddress CPELORUSDlg::TakeNextAddress() {
  if (!station_) {
    return NextAddress::kStep;
  }
  station_->Announced();
  Mac48 address = 0;
  std::string error;
  const PoolStation::Answer answer =
      StoreStep([&](std::string* why) { return station_->Lease(&address, why); }, &error);
  if (answer == PoolStation::Answer::kDone) {
    SetOctets(address);
    ShowPoolStatus();
    return NextAddress::kTaken;
  }
  if (answer == PoolStation::Answer::kRefused) {
    StopRunFor(QStringLiteral("Pool %1 gives no next address. The run has stopped.")
                   .arg(Q(station_->Name())),
               error);
  }
  return NextAddress::kNone;
}

}  // namespace pelorus
