#pragma once

#include <chrono>
#include <cstddef>
#include <string>

#include "field_binding.h"

namespace pelorus {

// What the programming dialogue needs from the window it runs in: the data exchange, the log,
// the port, the result banner, waits, a way to end the run, and a say in the address (the
// window may keep it on record and take it from elsewhere than a step). All calls come on
// the window's thread.
class DialogueSurroundings : public FieldBinding {
 public:
  // Where the next device's address comes from after a success.
  enum class NextAddress {
    kStep,   // the dialogue steps the octets by one
    kTaken,  // the surroundings have put it into the octet strings
    kNone,   // there is none; the surroundings end the run and say why
  };

  // Appends received bytes to the end of the log text exactly as they came, zero bytes
  // included; how a zero byte is shown is the window's matter.
  virtual void AppendLog(const char* bytes, std::size_t count) = 0;
  // Sends bytes to the device; returns once they are out or have failed.
  virtual void Write(std::size_t count, const char* bytes) = 0;
  // Gives the result banner its text and sets its alert flag (red text).
  virtual void SetAlert(const std::string& text) = 0;
  // Shows the result banner modally; returns once the operator has closed it.
  virtual void DoModal() = 0;
  // A wait on the window's thread before the dialogue carries on, in two halves: BeginWait
  // starts the time, EndWait lets what is left of it pass, so that work done in between counts
  // towards the wait. EndWait is true when the whole time passed; false when the operator
  // stopped the run meanwhile (RESET, END), and then the dialogue sends nothing more.
  virtual void BeginWait(std::chrono::milliseconds duration) = 0;
  virtual bool EndWait() = 0;
  bool Wait(std::chrono::milliseconds duration) {
    BeginWait(duration);
    return EndWait();
  }
  // The address-write command for address (the octets joined by '-') goes out when the wait
  // under way ends. The surroundings may put another address into the octet strings meanwhile
  // (one that may not be written twice is replaced): the command carries what they hold when
  // the wait ends. False: it must not go out; the surroundings end the run and say why.
  virtual bool AboutToWrite(const std::string& address) = 0;
  // The device showed address (the octets joined by ':') in line: before the banner. False:
  // the success cannot be announced; the surroundings end the run and say why.
  virtual bool Verified(const std::string& address, const std::string& line) = 0;
  // After the banner: where the next device's address comes from.
  virtual NextAddress TakeNextAddress() = 0;
  // What the dialogue did or saw, as it happens, for surroundings that keep a record of each
  // board's attempt; nothing by default.
  enum class Step {
    kCodeAnswered,   // the interrupt went out for a "CODE" line: a board's attempt begins
    kAddressSent,    // the address-write command went out
    kReadBackSent,   // the read-back command went out
    kWrongReadBack,  // a dump line of the address's memory showed another address
  };
  virtual void Noted(Step) {}
  // The dialogue cannot go on (reason says why, for the operator): the window ends the run
  // once this chunk is done and tells the operator. The dialogue sends nothing more.
  virtual void StopRun(const std::string& reason) = 0;
};

}  // namespace pelorus
