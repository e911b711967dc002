#pragma once

#include <cstddef>

#include "run/run_station.h"
#include "ui/log_binding.h"

namespace pelorus {

// The application object: reads the command line, names the application and runs the main
// window modally; the program lives exactly as long as that run. InitInstance needs a
// QApplication to exist; ParseCommandLine must run before one does.
class CPELORUSApp {
 public:
  // What the command line (or the environment: PELORUS_POOL, PELORUS_STATION) asks for.
  struct Options {
    bool use_pool = false;
    RunStation::Config pool;
    std::size_t scrollback = LogBinding::Scrollback::kDefaultLines;  // lines the log keeps
  };

  // Reads argv. -1 when the window is to run (with *options); otherwise the program's exit
  // status, after --help or --version has been printed (0) or a bad command line reported on
  // stderr (1). Needs no display.
  static int ParseCommandLine(int argc, char** argv, Options* options);

  CPELORUSApp();
  explicit CPELORUSApp(Options options);

  // Names the application PELORUS (the message boxes' caption), sets the organisation under
  // which settings would be kept (nothing is ever written there), opens the address pool when
  // one was asked for, runs the main window until END or Escape and destroys it, which closes
  // the port. Returns the program's exit status: 0, or 1 when the pool cannot be used (a
  // message box names its location and the store's reason, and no window opens).
  int InitInstance();

 private:
  Options options_;
};

}  // namespace pelorus
