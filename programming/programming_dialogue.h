#pragma once

#include <cstddef>
#include <string>

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
  MacAddressFields& fields_;
  DialogueSurroundings& surroundings_;
};

}  // namespace pelorus
