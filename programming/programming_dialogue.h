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
class ProgrammingDialogue {
 public:
  static constexpr std::size_t kLineBufferSize = 1024;

  ProgrammingDialogue(MacAddressFields& fields, DialogueSurroundings& surroundings);

  // Handles one chunk of device output (WM_PORT_DATA). Always returns 1.
  int OnPortData(const char* chunk, std::size_t n);

  // Forgets a partly received line; called when a port is opened afresh.
  void ResetLine();

 private:
  enum class Trigger { kNone, kCode, kProgram, kDone, kReadBack };

  Trigger MatchLine(std::string_view line) const;
  void Act(Trigger trigger);
  void Announce();

  MacAddressFields& fields_;
  DialogueSurroundings& surroundings_;
  // The line being received; it carries over between chunks because reads split lines freely.
  // Bytes beyond kLineBufferSize - 1 are left out of the line (still logged).
  std::array<char, kLineBufferSize> line_{};
  std::size_t line_length_ = 0;
};

}  // namespace pelorus
