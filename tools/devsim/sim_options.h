#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace pelorus::devsim {

// How a device ends its console lines. A host that completes lines on CR needs one of the
// first three; kLf plays a console such a host can never understand.
enum class LineEnd { kCrLf, kLfCr, kCr, kLf };

// Where a device that "never answers" goes silent: from power-on, after its CODE line (the
// interrupt is ignored), after its "480" line (the address command is ignored) or after its
// "done" line (the read-back command is ignored).
enum class MuteStage { kBoot, kInterrupt, kWrite, kReadBack };

struct IntRange {
  int min = 0;
  int max = 0;
};

// Everything the simulated bench can be told. The defaults look like a real board on a real
// bench; ParseSimOptions fills it from the command line.
struct SimOptions {
  std::string link_path;    // symlink to the slave side; empty: none
  std::string report_path;  // JSON lines report; empty: none
  int devices = 0;          // devices to play; 0: until stopped
  std::uint64_t seed = 1;
  std::optional<std::uint64_t> first_address;  // required address of the first device
  bool any_address = false;  // devices take any new address, not one above the last

  bool wait_open = false;                     // each port's first power-on once the host opened it
  std::chrono::milliseconds open_delay{100};  // from that open to the power-on
  std::chrono::milliseconds boot_pause{150};  // between boot lines
  std::chrono::milliseconds interrupt_wait{3000};  // negative: wait for ever
  std::chrono::milliseconds command_time{100};     // before a command's answer
  std::chrono::milliseconds power_cycle{1000};     // between two devices
  std::chrono::milliseconds restart_pause{1000};   // a booted-on device until it restarts
  int boot_attempts = 0;  // unanswered boots before a device gives up; 0: never
  std::chrono::microseconds byte_delay{0};
  std::chrono::milliseconds drain_limit{2000};  // how long to let the host read before closing

  bool chunking = false;
  IntRange chunk{1, 1};   // bytes per write when chunking
  IntRange gap_ms{0, 0};  // pause after each chunk
  int zero_percent = 0;   // chance of zero bytes before a line
  int noise_percent = 0;  // chance of a noise line before a line
  LineEnd line_end = LineEnd::kCrLf;
  bool echo = true;
  std::size_t flood_bytes = 0;  // console text per boot, written as fast as the port takes it

  std::set<int> wrong_readback;  // devices (1-based) whose dump shows another address
  int mute_device = 0;           // device that never answers; 0: none
  MuteStage mute_stage = MuteStage::kWrite;
  int hangup_after = 0;  // close the pseudo-terminal after this many devices; 0: never
  bool replug = false;   // a hang-up with devices still to play unplugs: the port comes back
  std::chrono::milliseconds away{1000};  // with replug: from the hang-up until the port is back

  // The boards themselves, each with a serial number and a flash that starts blank.
  int serial_base = 1;
  int bad_flash_percent = 0;       // boards whose flash ignores the write
  int pull_percent = 0;            // boards pulled off after the write, before the read-back
  int unplug_percent = 0;          // with replug: adapter pulled after the write
  int readback_noise_percent = 0;  // dump lines with a byte of line noise after the address
  int rebench_percent = 0;         // chance that the next board is one that left unconfirmed
  std::chrono::milliseconds prompt_timeout{-1};  // silent host at the prompt: restart; <0 never
  std::string ledger_path;                       // JSON lines, one per board leaving; empty: none
  bool lenient = false;  // host errors are reported but do not fail the exit status

  bool console_output = true;  // per-device summary on stdout, host errors on stderr as they happen
};

struct ParsedOptions {
  bool ok = false;
  bool help = false;    // --help or -h was given: print SimOptionsHelp() and exit 0
  std::string version;  // --version was given: print this line and exit 0
  std::string error;    // one line: which argument is wrong and why, when !ok
  SimOptions options;
};

// Parses the arguments after the program name, "--opt value" and "--opt=value" alike. Options
// take effect in the order given: a later one overrides an earlier one (--wrong-readback adds
// up), and --no-delays clears only the pauses given before it. Numbers are plain decimal, each
// within its option's range.
ParsedOptions ParseSimOptions(const std::vector<std::string>& args);

// The --help text: what the program does, the options by group, the exit status.
std::string SimOptionsHelp();

// "crlf", "lfcr", "cr" or "lf".
const char* LineEndName(LineEnd end);

}  // namespace pelorus::devsim
