#include "console_text.h"

#include "sim_address.h"

namespace pelorus::devsim {
namespace {

// Noise avoids the letters and digits the triggers and a read-back are made of, blanks, CR
// and LF, so it can never complete or fake a line.
constexpr char kNoiseChars[] = "ghijklmpqrstuvwxyzGHIJKLMNPQRSTUVWXYZ!#$%&*+/<=>?@[]^_{|}~";

int Draw(std::mt19937_64& rng, int lo, int hi) {
  return lo + static_cast<int>(rng() % static_cast<std::uint64_t>(hi - lo + 1));
}

}  // namespace

ConsoleText::ConsoleText(LineEnd end, int zero_percent, int noise_percent, std::uint64_t seed)
    : end_(end), zero_percent_(zero_percent), noise_percent_(noise_percent), rng_(seed) {}

std::string ConsoleText::Ending() const {
  switch (end_) {
    case LineEnd::kCrLf:
      return "\r\n";
    case LineEnd::kLfCr:
      return "\n\r";
    case LineEnd::kCr:
      return "\r";
    case LineEnd::kLf:
      return "\n";
  }
  return "\r\n";
}

ConsoleText::Line ConsoleText::MakeLine(const std::string& text) {
  Line line;
  // Both draws happen for every line whatever the percentages, so that switching one fault on
  // does not reshuffle the other.
  const bool zeros = Draw(rng_, 1, 100) <= zero_percent_;
  const int zero_count = Draw(rng_, 1, 3);
  const bool noise = Draw(rng_, 1, 100) <= noise_percent_;
  if (noise) {
    line.head += Noise() + Ending();
  }
  if (zeros) {
    line.head.append(static_cast<std::size_t>(zero_count), '\0');
  }
  line.head += text;
  const std::string ending = Ending();
  const auto cr = end_ == LineEnd::kCrLf ? std::size_t{1} : ending.size();
  line.head += ending.substr(0, cr);
  line.tail = ending.substr(cr);
  return line;
}

std::string ConsoleText::Noise() {
  std::string noise;
  const int length = Draw(rng_, 1, 40);
  for (int i = 0; i < length; ++i) {
    // About one byte in four is a high byte, as on a line with the wrong speed.
    if (Draw(rng_, 0, 3) == 0) {
      noise += static_cast<char>(Draw(rng_, 0x80, 0xFE));
    } else {
      noise += kNoiseChars[Draw(rng_, 0, sizeof(kNoiseChars) - 2)];
    }
  }
  return noise;
}

std::string ConsoleText::Flood(std::size_t bytes) const {
  // Line numbers use base 7 with the digits 1235679: no "480" can appear, and the single
  // number per line cannot form six blank-separated octets.
  static constexpr char kDigits[] = "1235679";
  static constexpr char kFiller[] = " probe: scanning bus, slot quiet, retry queue empty, ok";
  const std::string ending = Ending();
  std::string out;
  out.reserve(bytes);
  for (std::uint64_t n = 0; out.size() < bytes; ++n) {
    std::string number(7, kDigits[0]);
    for (std::uint64_t v = n, i = 0; i < 7; ++i, v /= 7) {
      number[6 - i] = kDigits[v % 7];
    }
    std::string line = "flood " + number + kFiller;
    const std::size_t room = bytes - out.size();
    if (line.size() + ending.size() > room) {
      line.resize(room > ending.size() ? room - ending.size() : 0);
    }
    out += line;
    out += ending.substr(0, bytes - out.size());
  }
  return out;
}

const std::vector<std::string>& ConsoleText::BootLines() {
  static const std::vector<std::string> kLines = {
      "",
      "PLX boot loader 2.4.1 (release build)",
      "CPU:   PLX-2 rev 3 at 600 MHz",
      "DRAM:  256 MiB",
      "Flash: 16 MiB SPI NOR",
      "Net:   eth0 (PHY at 1)",
      "Loading environment from flash... OK",
  };
  return kLines;
}

const char* ConsoleText::CodeLine() {
  return "Press Ctrl-C (stop CODE) to enter the boot console";
}

const std::vector<std::string>& ConsoleText::StoppedLines() {
  static const std::vector<std::string> kLines = {
      "Autoboot stopped",
      "Board PX-480 boot console ready",
  };
  return kLines;
}

const std::vector<std::string>& ConsoleText::BootOnLines() {
  static const std::vector<std::string> kLines = {
      "Autoboot: loading kernel image",
      "Starting kernel ...",
  };
  return kLines;
}

const char* ConsoleText::RestartLine() {
  return "Watchdog reset";
}
const char* ConsoleText::Prompt() {
  return "=> ";
}
const char* ConsoleText::UnknownCommandLine() {
  return "Unknown command - try 'help'";
}
const char* ConsoleText::OutOfOrderLine() {
  return "Refused: command out of order";
}
const char* ConsoleText::InterruptEcho() {
  return "^C";
}

std::string ConsoleText::WrittenLine(std::uint64_t address) {
  return "Programming MAC " + FormatAddress(address, ':') + " ... done";
}

std::string ConsoleText::DumpLine(std::uint64_t shown) {
  return "1fd0000c: " + FormatAddress(shown, ' ');
}

}  // namespace pelorus::devsim
