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
  // The whole life of a benchmark program on the window: an application (offscreen unless the
  // caller chose a platform) around run, whose result is the program's.
  static int Main(int argc, char** argv, int (*run)());

  // Creates the window, on the station's pool when one is given, and shows it.
  explicit WindowDriver(std::unique_ptr<RunStation> station = nullptr);
  bool Shown() const { return shown_; }

  // Types 00:1A:2B:3C:4D:5E into the octet boxes (unless a pool gives the address) and
  // selects " COM-1 "; false when the window never appeared.
  bool PrepareRun();
  // Presses START; true when the port is open afterwards, else says so under the bench's name.
  bool PressStart(const char* bench);
  void PressEnd();

  // Every byte the device has sent, whether the log still keeps it or not.
  std::size_t ConsoleBytes() const { return static_cast<std::size_t>(window_->ConsoleBytes()); }
  CPELORUSDlg& window() { return *window_; }

 private:
  void Click(const char* id);
  void TypeAddress(const QString& address);

  std::unique_ptr<CPELORUSDlg> window_;
  bool pool_ = false;
  bool shown_ = false;
};

}  // namespace pelorus::bench
