// Feeds arbitrary device output through the console dialogue, whole and in chunks, and checks
// that it never crashes, logs every byte in order, and answers the same way however the bytes
// were cut into chunks.
#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "programming/dialogue_surroundings.h"
#include "programming/mac_address_fields.h"
#include "programming/programming_dialogue.h"

namespace {

using pelorus::DialogueSurroundings;
using pelorus::MacAddressFields;
using pelorus::ProgrammingDialogue;

// The watcher never hands over more than this at once.
constexpr std::size_t kMaxChunk = 4095;

// Records what the dialogue did; the octet strings are their own store (no boxes).
class RecordingSurroundings : public DialogueSurroundings {
 public:
  std::string log;
  std::string actions;

  void LoadFields() override {}
  void StoreFields() override {}
  void ScrollLogToEnd() override {}
  void AppendLog(const char* bytes, std::size_t count) override { log.append(bytes, count); }
  void Write(std::size_t count, const char* bytes) override {
    actions += "W:";
    actions.append(bytes, count);
    actions += '|';
  }
  void SetAlert(const std::string& text) override { actions += "A:" + text + '|'; }
  void DoModal() override { actions += "M|"; }
  void BeginWait(std::chrono::milliseconds duration) override {
    actions += "T:" + std::to_string(duration.count()) + '|';
  }
  bool EndWait() override { return true; }
  void StopRun(const std::string& reason) override { actions += "S:" + reason + '|'; }
  bool AboutToWrite(const std::string& address) override {
    actions += "R:" + address + '|';
    return true;
  }
  bool Verified(const std::string& address, const std::string& line) override {
    actions += "V:" + address + '/' + line + '|';
    return true;
  }
  NextAddress TakeNextAddress() override { return NextAddress::kStep; }
};

struct Run {
  std::string log;
  std::string actions;
  std::string address;
};

// The first twelve input bytes give the six octet strings (any bytes at all, so the command
// and read-back builders meet strings that are not hex); one more byte seeds the chunk sizes.
Run Feed(const std::uint8_t* data, std::size_t size, bool chunked) {
  RecordingSurroundings surroundings;
  MacAddressFields fields(surroundings);
  ProgrammingDialogue dialogue(fields, surroundings);
  for (int k = 1; k <= 6; ++k) {
    fields.Octet(k).assign(reinterpret_cast<const char*>(data + 2 * (k - 1)), 2);
  }
  unsigned seed = data[12];
  const char* text = reinterpret_cast<const char*>(data + 13);
  std::size_t left = size - 13;
  while (left > 0) {
    std::size_t n = std::min<std::size_t>(left, kMaxChunk);
    if (chunked) {
      seed = seed * 1103515245u + 12345u;
      n = std::min<std::size_t>(n, 1 + (seed >> 16) % 97);
    }
    dialogue.OnPortData(text, n);
    text += n;
    left -= n;
  }
  std::string address;
  for (int k = 1; k <= 6; ++k) {
    address += fields.Octet(k) + '/';
  }
  return {surroundings.log, surroundings.actions, address};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 13) {
    return 0;
  }
  const Run whole = Feed(data, size, false);
  const Run chunked = Feed(data, size, true);
  const std::string input(reinterpret_cast<const char*>(data + 13), size - 13);
  if (whole.log != input || chunked.log != input) {
    std::abort();
  }
  if (whole.actions != chunked.actions || whole.address != chunked.address) {
    std::abort();
  }
  return 0;
}
