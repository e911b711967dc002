// The main window's dealings with the address pool, where one is configured.
#include <QComboBox>
#include <QLabel>
#include <cstdio>

#include "serial/port_names.h"
#include "ui/pelorus_dlg.h"
#include "ui/window_template.h"
#include "ui_pelorus_dlg.h"

namespace pelorus {

// "COM1" ... "COM5" or "TELNET": the port as the operator and the record know it.
std::string CPELORUSDlg::PortName() const {
  return ShortPortName(comm_.PortName());
}

// The station is named after the port unless it was named outright; so a restarted window,
// or a new one on the same port, finds the address that was open there.
void CPELORUSDlg::ShowStationAddress() {
  const int port =
      PortNumberOf(ui_->IDC_PORT->currentText().toLatin1().toStdString(), port_number_);
  station_->SetPort(ShortPortName(PortNameFor(static_cast<unsigned>(port))));
  std::optional<Mac48> open;
  std::string error;
  if (station_->Current(&open, &error) && open) {
    SetOctets(*open);
  } else {
    for (int k = 1; k <= 6; ++k) {
      fields_.Octet(k).clear();
    }
  }
  StoreFields();
  ShowPoolStatus();
}

bool CPELORUSDlg::LeaseForRun() {
  station_->SetPort(PortName());
  Mac48 address = 0;
  std::string error;
  if (!station_->Lease(&address, &error)) {
    MessageBox(QStringLiteral("Pool %1 gives station %2 no address: the run cannot start.")
                   .arg(QString::fromStdString(station_->Name()),
                        QString::fromStdString(station_->Station())),
               kCaption, QMessageBox::Warning, QString::fromStdString(error));
    ShowPoolStatus();
    return false;
  }
  SetOctets(address);
  ShowPoolStatus();
  return true;
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
  ui_->IDC_POOL_STATUS->setText(QString::fromStdString(station_->StatusLine()));
}

void CPELORUSDlg::StopRunFor(const QString& text, const std::string& detail) {
  gate_.StopChunkThen([this, text, detail] {
    if (running_) {
      OnReset();
    }
    ShowPoolStatus();
    MessageBox(text, kCaption, QMessageBox::Warning, QString::fromStdString(detail));
  });
}

// No address goes into a device without being on record: the mark is durable before the
// command leaves, or the command does not leave.
bool CPELORUSDlg::AboutToWrite(const std::string& address) {
  if (!station_) {
    return true;
  }
  const auto parsed = ParseMac48(address);
  std::string error = "the address is not one of the pool's";
  if (parsed &&
      station_->MarkWritten(*parsed, PortName() + " " + DevicePathFor(comm_.PortName()), &error)) {
    return true;
  }
  StopRunFor(QStringLiteral("%1 could not be put on record in pool %2, so it was not written "
                            "into the device. The run has stopped.")
                 .arg(QString::fromStdString(address), QString::fromStdString(station_->Name())),
             error);
  return false;
}

bool CPELORUSDlg::Verified(const std::string& address, const std::string& line) {
  if (!station_) {
    return true;
  }
  const auto parsed = ParseMac48(address);
  std::string error = "the address is not one of the pool's";
  if (parsed && station_->MarkVerified(*parsed, line, &error)) {
    ShowPoolStatus();
    return true;
  }
  StopRunFor(QStringLiteral("The device shows %1, but pool %2 could not record it as verified. "
                            "The run has stopped.")
                 .arg(QString::fromStdString(address), QString::fromStdString(station_->Name())),
             error);
  return false;
}

DialogueSurroundings::NextAddress CPELORUSDlg::TakeNextAddress() {
  if (!station_) {
    return NextAddress::kStep;
  }
  Mac48 address = 0;
  std::string error;
  if (station_->Lease(&address, &error)) {
    SetOctets(address);
    ShowPoolStatus();
    return NextAddress::kTaken;
  }
  StopRunFor(QStringLiteral("Pool %1 gives no next address. The run has stopped.")
                 .arg(QString::fromStdString(station_->Name())),
             error);
  return NextAddress::kNone;
}

}  // namespace pelorus
