#pragma once

#include <QString>
#include <cstddef>
#include <memory>

#include "ui/pelorus_dlg.h"

namespace pelorus::bench {

// The operator's hands on the real window: types the address, picks the port, presses the
// buttons, all through the controls (found by their IDs) as a person would.
class WindowDriver {
 public:
  // Makes the Qt platform offscreen unless the caller chose one; call before QApplication.
  static void UseOffscreenByDefault();

  // Creates the window and shows it; false when it never appeared.
  WindowDriver();
  bool Shown() const { return shown_; }

  // Types "00:1A:2B:3C:4D:5E" into the six octet boxes.
  void TypeAddress(const QString& address);
  // Selects the port list entry with exactly this text (" COM-1 " by default).
  void SelectPort(const QString& entry = QStringLiteral(" COM-1 "));
  // Presses START; true when the port is open afterwards.
  bool PressStart();
  void PressEnd();

  std::size_t LogSize() const { return window_->LogText().size(); }
  CPELORUSDlg& window() { return *window_; }

 private:
  void Click(const char* id);

  std::unique_ptr<CPELORUSDlg> window_;
  bool shown_ = false;
};

}  // namespace pelorus::bench
