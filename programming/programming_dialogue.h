#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

#include "dialogue_surroundings.h"
#include "mac_address_fields.h"

namespace pelorus {

// The conversation with the device: logs every received byte, assembles console lines, and
// answers the trigger lines ("CODE", "480", "done", the expected read-back) with the exact
// bytes and waits the device expects. Runs on the window's thread.
//
// The read-back counts only where the device really shows the address: the six octets as
// whole tokens (no hex digit glued to either end), in either letter case; and on a dump line
// of the address's memory ("1fd0000c:" with or without "0x"), only as the dump's first six
// bytes.
//
// The surroundings have their say before the address goes out (AboutToWrite, within the wait
// before the command), before the banner (Verified) and after it (TakeNextAddress): a window
// that keeps the address on record takes it from there.
class ProgrammingDialogue {
 public:
  static constexpr std::size_t kLineBufferSize = 1024;

  ProgrammingDialogue(MacAddressFields& fields, DialogueSurroundings& surroundings);

  // Handles one chunk of device output (WM_PORT_DATA). Always returns 1. Once the run has
  // stopped (a wait cut short, or no next address), the rest of the chunk and every later one
  // is logged but no longer answered.
  int OnPortData(const char* chunk, std::size_t n);

  // Starts answering afresh for a newly opened port: forgets a partly received line and a
  // stop.
  void Restart();

 private:
  enum class Trigger { kNone, kCode, kProgram, kDone, kReadBack, kOtherDump };

  Trigger MatchLine(std::string_view line) const;
  // False when the run stopped while acting.
  bool Act(Trigger trigger, std::string_view line);
  bool Announce(const std::string& line);

  MacAddressFields& fields_;
  DialogueSurroundings& surroundings_;
  // The line being received; it carries over between chunks because reads split lines freely.
  // Bytes beyond kLineBufferSize - 1 are left out of the line (still logged).
  std::array<char, kLineBufferSize> line_{};
  std::size_t line_length_ = 0;
  bool stopped_ = false;
};

}  // namespace pelorus
