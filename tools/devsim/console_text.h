#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "sim_options.h"

namespace pelorus::devsim {

// The device's console texts and how they reach the wire: line endings, the zero bytes and
// noise lines put between lines, flood text. No fixed text contains "CODE", "480" or "done"
// except the one line meant to, and none holds six blank-separated hex octets, so a host
// that reacts to those substrings only reacts where the device means it to.
class ConsoleText {
 public:
  // One device line as bytes. A host that completes lines on CR has the whole line once
  // `head` is out, so anything that must happen "when the line has been printed" happens
  // between `head` and `tail`.
  struct Line {
    std::string head;
    std::string tail;
  };

  ConsoleText(LineEnd end, int zero_percent, int noise_percent, std::uint64_t seed);

  // `text` with its ending, preceded by whatever zero bytes and noise the options ask for.
  Line MakeLine(const std::string& text);
  // The ending alone: what an echoing console prints when the host's line feed arrives.
  std::string Ending() const;
  // Exactly `bytes` bytes of plausible, trigger-free console lines.
  std::string Flood(std::size_t bytes) const;

  // The fixed texts.
  static const std::vector<std::string>& BootLines();  // before the CODE line
  static const char* CodeLine();
  static const std::vector<std::string>& StoppedLines();  // after the interrupt; last has "480"
  static const std::vector<std::string>& BootOnLines();   // no interrupt came in time
  static const char* RestartLine();                       // a booted-on device restarts
  static const char* Prompt();
  static const char* UnknownCommandLine();
  static const char* OutOfOrderLine();
  static const char* InterruptEcho();                     // "^C"
  static std::string WrittenLine(std::uint64_t address);  // contains "done"
  static std::string DumpLine(std::uint64_t shown);       // "1fd0000c: 00 1A 2B 3C 4D 5E"

 private:
  std::string Noise();

  LineEnd end_;
  int zero_percent_;
  int noise_percent_;
  std::mt19937_64 rng_;
};

}  // namespace pelorus::devsim
