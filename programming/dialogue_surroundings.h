#pragma once

#include <chrono>
#include <cstddef>
#include <string>

#include "field_binding.h"

namespace pelorus {

// What the programming dialogue needs from the window it runs in: the data exchange, the log,
// the port, the result banner, a wait and a way to end the run. All calls come on the
// window's thread.
class DialogueSurroundings : public FieldBinding {
 public:
  // Appends received bytes to the end of the log text exactly as they came, zero bytes
  // included; how a zero byte is shown is the window's matter.
  virtual void AppendLog(const char* bytes, std::size_t count) = 0;
  // Sends bytes to the device; returns once they are out or have failed.
  virtual void Write(std::size_t count, const char* bytes) = 0;
  // Gives the result banner its text and sets its alert flag (red text).
  virtual void SetAlert(const std::string& text) = 0;
  // Shows the result banner modally; returns once the operator has closed it.
  virtual void DoModal() = 0;
  // Waits the given time on the window's thread before the dialogue carries on. True when
  // the whole time passed; false when the operator stopped the run meanwhile (RESET, END),
  // and then the dialogue sends nothing more.
  virtual bool Wait(std::chrono::milliseconds duration) = 0;
  // The dialogue cannot go on (reason says why, for the operator): the window ends the run
  // once this chunk is done and tells the operator. The dialogue sends nothing more.
  virtual void StopRun(const std::string& reason) = 0;
};

}  // namespace pelorus
