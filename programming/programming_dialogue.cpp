#include "programming_dialogue.h"

#include <cstdio>

namespace pelorus {

namespace {

using std::chrono::milliseconds;

constexpr char kInterrupt = 0x03;
constexpr std::size_t kProgramCommandSize = 27;
constexpr char kReadBackCommand[] = "d -b -p 0x1fd0000c 6\n";
constexpr std::size_t kReadBackCommandSize = sizeof kReadBackCommand - 1;
constexpr std::size_t kExpectedReadBackSize = 18;

}  // namespace

ProgrammingDialogue::ProgrammingDialogue(MacAddressFields& fields,
                                         DialogueSurroundings& surroundings)
    : fields_(fields), surroundings_(surroundings) {}

void ProgrammingDialogue::ResetLine() {
  line_length_ = 0;
}

int ProgrammingDialogue::OnPortData(const char* chunk, std::size_t n) {
  surroundings_.LoadFields();
  // Bytes go to the log in runs; a run ends where a trigger acts, so the log is complete and
  // in order whenever the device is answered or the banner is up.
  std::size_t logged = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const char b = chunk[i];
    if (b == '\r') {
      const Trigger trigger = MatchLine(std::string_view(line_.data(), line_length_));
      line_length_ = 0;
      if (trigger != Trigger::kNone) {
        surroundings_.AppendLog(chunk + logged, i + 1 - logged);
        logged = i + 1;
        Act(trigger);
      }
    } else if (b != '\n' && b != '\0' && line_length_ < kLineBufferSize - 1) {
      // A line feed does not end a line (the console ends lines with a carriage return), and
      // a zero byte would hide the rest of the line from the trigger tests.
      line_[line_length_++] = b;
    }
  }
  if (logged < n) {
    surroundings_.AppendLog(chunk + logged, n - logged);
  }
  surroundings_.StoreFields();
  surroundings_.ScrollLogToEnd();
  return 1;
}

ProgrammingDialogue::Trigger ProgrammingDialogue::MatchLine(std::string_view line) const {
  if (line.find("CODE") != std::string_view::npos) {
    return Trigger::kCode;
  }
  if (line.find("480") != std::string_view::npos) {
    return Trigger::kProgram;
  }
  if (line.find("done") != std::string_view::npos) {
    return Trigger::kDone;
  }
  // Rebuilt for every line because a success steps the octets in the middle of a chunk. The
  // buffer bounds it: longer octet strings are cut, never written past its end.
  char expected[kExpectedReadBackSize];
  std::snprintf(expected, sizeof expected, "%s %s %s %s %s %s", fields_.OCTET1.c_str(),
                fields_.OCTET2.c_str(), fields_.OCTET3.c_str(), fields_.OCTET4.c_str(),
                fields_.OCTET5.c_str(), fields_.OCTET6.c_str());
  if (line.find(expected) != std::string_view::npos) {
    return Trigger::kReadBack;
  }
  return Trigger::kNone;
}

void ProgrammingDialogue::Act(Trigger trigger) {
  switch (trigger) {
    case Trigger::kCode:
      surroundings_.Write(1, &kInterrupt);
      surroundings_.Wait(milliseconds(100));
      break;
    case Trigger::kProgram: {
      surroundings_.Wait(milliseconds(500));
      // The device takes exactly 27 bytes: the text is cut to fit if the octets were longer,
      // and padded with zero bytes if they were shorter, and the last byte is always the LF.
      char command[kProgramCommandSize] = {};
      std::snprintf(command, sizeof command, "macprog2 %s-%s-%s-%s-%s-%s", fields_.OCTET1.c_str(),
                    fields_.OCTET2.c_str(), fields_.OCTET3.c_str(), fields_.OCTET4.c_str(),
                    fields_.OCTET5.c_str(), fields_.OCTET6.c_str());
      command[kProgramCommandSize - 1] = '\n';
      surroundings_.Write(kProgramCommandSize, command);
      break;
    }
    case Trigger::kDone:
      surroundings_.Wait(milliseconds(1000));
      surroundings_.Write(kReadBackCommandSize, kReadBackCommand);
      surroundings_.Wait(milliseconds(100));
      surroundings_.Wait(milliseconds(100));
      break;
    case Trigger::kReadBack:
      Announce();
      break;
    case Trigger::kNone:
      break;
  }
}

void ProgrammingDialogue::Announce() {
  // The step's load takes the log back from its box, so the box must hold this chunk's bytes
  // before the banner goes up; otherwise they would be lost from the log.
  surroundings_.StoreFields();
  surroundings_.SetAlert(" MAC Write Success \n(" + fields_.OCTET1 + ":" + fields_.OCTET2 + ":" +
                         fields_.OCTET3 + ":" + fields_.OCTET4 + ":" + fields_.OCTET5 + ":" +
                         fields_.OCTET6 + ")");
  surroundings_.DoModal();
  fields_.StepAddress(+1);
  surroundings_.StoreFields();
}

}  // namespace pelorus
