#pragma once

namespace pelorus {

// The application object: names the application and runs the main window modally; the
// program lives exactly as long as that run. Needs a QApplication to exist.
class CPELORUSApp {
 public:
  // Names the application PELORUS (the message boxes' caption), sets the
  // organisation under which settings would be kept (nothing is ever written there), runs
  // the main window until END or Escape and destroys it, which closes the port. Returns 0,
  // the program's exit status.
  int InitInstance();
};

}  // namespace pelorus
