// The main window's view of the address pool, where one is configured.
#include <QComboBox>
#include <QLabel>
#include <cstdio>

#include "serial/port_inventory.h"
#include "serial/port_names.h"
#include "ui/pelorus_dlg.h"
#include "ui/window_template.h"
#include "ui_pelorus_dlg.h"

namespace pelorus {

std::string CPELORUSDlg::StationDevice() const {
  const int port =
      PortNumberOf(ui_->IDC_PORT->currentText().toLatin1().toStdString(), port_number_);
  const std::string name = PortNameFor(static_cast<unsigned>(port));
  return PortInventory().StableName(DevicePathFor(name), ShortPortName(name));
}

// The station follows the port list: a restarted window, or a new one on the same device,
// shows the address that was open there.
void CPELORUSDlg::ShowStationAddress() {
  run_->SetDevice(StationDevice());
  run_->RequestStatus();
}

void CPELORUSDlg::StationAddress(std::optional<Mac48> address) {
  Queue([this, address] {
    if (running_) {
      return;
    }
    port_text_ = ui_->IDC_PORT->currentText().toLatin1().toStdString();
    if (address) {
      SetOctets(*address);
    } else {
      for (int k = 1; k <= 6; ++k) {
        fields_.Octet(k).clear();
      }
    }
    StoreFields();
  });
}

void CPELORUSDlg::PoolLine(const std::string& line) {
  Queue([this, line] {
    // A long station name (a by-id path) must not push the counts out of sight: the line is
    // cut at the label's end, and shown whole as its tool tip.
    QLabel& label = *ui_->IDC_POOL_STATUS;
    const QString text = QString::fromStdString(line);
    label.setText(label.fontMetrics().elidedText(text, Qt::ElideRight, label.width()));
    label.setToolTip(text);
  });
}

void CPELORUSDlg::SetOctets(Mac48 address) {
  for (int k = 1; k <= 6; ++k) {
    char octet[3];
    std::snprintf(octet, sizeof octet, "%02X",
                  static_cast<unsigned>((address >> (8 * (6 - k))) & 0xFF));
    fields_.Octet(k) = octet;
  }
}

}  // namespace pelorus
