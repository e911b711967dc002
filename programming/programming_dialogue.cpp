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
constexpr std::string_view kDumpAddress = "1fd0000c";

bool IsHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

char Lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameText(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) {
    return false;
  }
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i])) {
      return false;
    }
  }
  return true;
}

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && SameText(text.substr(0, prefix.size()), prefix);
}

// The bytes of a dump line of the address's memory, after its colon; npos for any other line.
std::size_t DumpBytesStart(std::string_view line) {
  std::size_t at = 0;
  while (at < line.size() && IsBlank(line[at])) {
    ++at;
  }
  if (StartsWith(line.substr(at), "0x")) {
    at += 2;
  }
  if (!StartsWith(line.substr(at), kDumpAddress) || at + kDumpAddress.size() >= line.size() ||
      line[at + kDumpAddress.size()] != ':') {
    return std::string_view::npos;
  }
  return at + kDumpAddress.size() + 1;
}

// The first six blank-separated tokens of text, joined by single blanks.
std::string FirstSixTokens(std::string_view text) {
  std::string tokens;
  int count = 0;
  std::size_t at = 0;
  while (count < 6) {
    while (at < text.size() && IsBlank(text[at])) {
      ++at;
    }
    if (at == text.size()) {
      break;
    }
    const std::size_t begin = at;
    while (at < text.size() && !IsBlank(text[at])) {
      ++at;
    }
    tokens += count++ == 0 ? "" : " ";
    tokens += text.substr(begin, at - begin);
  }
  return tokens;
}

// Whether the line shows expected (the six octets joined by blanks): on a dump line as its
// first six bytes, on any other line anywhere as whole tokens. Letter case does not count: a
// device may print hex either way, and the octet strings are lower case right after a step.
bool ShowsReadBack(std::string_view line, std::string_view expected) {
  if (const std::size_t bytes = DumpBytesStart(line); bytes != std::string_view::npos) {
    return SameText(FirstSixTokens(line.substr(bytes)), expected);
  }
  for (std::size_t at = 0; at + expected.size() <= line.size(); ++at) {
    const std::size_t end = at + expected.size();
    if (SameText(line.substr(at, expected.size()), expected) &&
        (at == 0 || !IsHexDigit(line[at - 1])) && (end == line.size() || !IsHexDigit(line[end]))) {
      return true;
    }
  }
  return false;
}

}  // namespace

ProgrammingDialogue::ProgrammingDialogue(MacAddressFields& fields,
                                         DialogueSurroundings& surroundings)
    : fields_(fields), surroundings_(surroundings) {}

void ProgrammingDialogue::Restart() {
  line_length_ = 0;
  stopped_ = false;
}

int ProgrammingDialogue::OnPortData(const char* chunk, std::size_t n) {
  surroundings_.LoadFields();
  // Bytes go to the log in runs; a run ends where a trigger acts, so the log is complete and
  // in order whenever the device is answered or the banner is up.
  std::size_t logged = 0;
  for (std::size_t i = 0; i < n && !stopped_; ++i) {
    const char b = chunk[i];
    if (b == '\r') {
      const std::string_view line(line_.data(), line_length_);
      const Trigger trigger = MatchLine(line);
      if (trigger != Trigger::kNone) {
        surroundings_.AppendLog(chunk + logged, i + 1 - logged);
        logged = i + 1;
        stopped_ = !Act(trigger, line);
      }
      line_length_ = 0;
    } else if (b != '\n' && b != '\0' && line_length_ < kLineBufferSize - 1) {
      // A line feed does not end a line (the console ends lines with a carriage return), and
      // a zero byte would hide the rest of the line from the trigger tests.
      line_[line_length_++] = b;
    }
  }
  // After a stop the device's bytes still belong in the log; they are only no longer answered.
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
  std::snprintf(expected, sizeof expected, "%s", fields_.Joined(" ").c_str());
  if (ShowsReadBack(line, expected)) {
    return Trigger::kReadBack;
  }
  return DumpBytesStart(line) != std::string_view::npos ? Trigger::kOtherDump : Trigger::kNone;
}

bool ProgrammingDialogue::Act(Trigger trigger, std::string_view line) {
  switch (trigger) {
    case Trigger::kCode:
      surroundings_.Write(1, &kInterrupt);
      surroundings_.Noted(DialogueSurroundings::Step::kCodeAnswered);
      return surroundings_.Wait(milliseconds(100));
    case Trigger::kProgram: {
      // What the window does before the address goes out (putting it on record) happens
      // within the wait, so that the device's answer is not late for it.
      surroundings_.BeginWait(milliseconds(500));
      if (!surroundings_.AboutToWrite(fields_.Joined("-")) || !surroundings_.EndWait()) {
        return false;
      }
      // The device takes exactly 27 bytes: the text is cut to fit if the octets were longer,
      // and padded with zero bytes if they were shorter, and the last byte is always the LF.
      char command[kProgramCommandSize] = {};
      std::snprintf(command, sizeof command, "macprog2 %s", fields_.Joined("-").c_str());
      command[kProgramCommandSize - 1] = '\n';
      surroundings_.Write(kProgramCommandSize, command);
      surroundings_.Noted(DialogueSurroundings::Step::kAddressSent);
      return true;
    }
    case Trigger::kDone:
      if (!surroundings_.Wait(milliseconds(1000))) {
        return false;
      }
      surroundings_.Write(kReadBackCommandSize, kReadBackCommand);
      surroundings_.Noted(DialogueSurroundings::Step::kReadBackSent);
      return surroundings_.Wait(milliseconds(100)) && surroundings_.Wait(milliseconds(100));
    case Trigger::kReadBack:
      return Announce(std::string(line));
    case Trigger::kOtherDump:
      surroundings_.Noted(DialogueSurroundings::Step::kWrongReadBack);
      return true;
    case Trigger::kNone:
      break;
  }
  return true;
}

bool ProgrammingDialogue::Announce(const std::string& line) {
  if (!surroundings_.Verified(fields_.Joined(":"), line)) {
    return false;
  }
  // The step's load takes the log back from its box, so the box must hold this chunk's bytes
  // before the banner goes up; otherwise they would be lost from the log.
  surroundings_.StoreFields();
  surroundings_.SetAlert(" MAC Write Success \n(" + fields_.Joined(":") + ")");
  surroundings_.DoModal();
  switch (surroundings_.TakeNextAddress()) {
    case DialogueSurroundings::NextAddress::kNone:
      return false;
    case DialogueSurroundings::NextAddress::kTaken:
      surroundings_.StoreFields();
      return true;
    case DialogueSurroundings::NextAddress::kStep:
      break;
  }
  if (!fields_.StepAddress(+1)) {
    const std::string written = fields_.Joined(":");
    // The address stays in the boxes, and a second START must not write it into another
    // device: the first octet is cleared, so the operator types a new address.
    fields_.OCTET1.clear();
    surroundings_.StoreFields();
    surroundings_.StopRun("The address after " + written +
                          " is a group (multicast) address, which no device may take. The run "
                          "has stopped: type a new first address.");
    return false;
  }
  surroundings_.StoreFields();
  return true;
}

}  // namespace pelorus
