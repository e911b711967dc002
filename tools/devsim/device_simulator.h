#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <string>

#include "board_ledger.h"

#include "console_text.h"
#include "output_queue.h"
#include "pseudo_terminal.h"
#include "sim_options.h"
#include "sim_report.h"

namespace pelorus::devsim {

// A bench of devices behind one pseudo-terminal: it boots one device after another, answers
// a correct host the way the real console does and judges every byte the host types.
//
// What a correct host may type, and when:
// - 0x03 once for every "CODE" line that has been printed (it may answer late, after the
//   device booted on, or twice in a row after two unanswered boots; a device at its prompt
//   prints "^C" and a fresh prompt). An 0x03 with no CODE line left to answer is an error.
// - "macprog2 XX-XX-XX-XX-XX-XX" + LF once the "480" line has been printed, with the address
//   one above the last address that a device read back correctly (the first device takes
//   any, or SimOptions::first_address); with SimOptions::any_address, any address, but never
//   one that an earlier device read back.
// - "d -b -p 0x1fd0000c 6" + LF once the "done" line has been printed.
// Everything else (other bytes, other commands, a CR, lower-case hex, bytes typed while the
// device is not listening) is a host error: reported at once and failing the run. A device
// that was told to stay silent no longer judges anything.
//
// With SimOptions::replug, a hang-up that leaves devices to play is an adapter pulled out:
// the port and its link are gone for SimOptions::away, then a new pseudo-terminal comes up
// behind the same link (with SimOptions::wait_open, the next device waits for the host to
// open it). The devices go on where they were: numbered on, each expecting the address one
// above the last one read back, as the host keeps it. A CODE line printed on the old port
// can no longer be answered, so an 0x03 for it on the new one is a host error.
//
// Every board has a serial number and a flash that starts blank: the address command stores its
// address there (not on a board with a bad flash) and the dump shows what the flash holds. A
// board leaves the bench after its dump, or, injected, pulled off or unplugged after the
// address command; each leaving is a line in the ledger. A board that left without a dump
// that matched what was written may come back later (SimOptions::rebench_percent) with its
// flash as it was. With SimOptions::lenient, host errors are reported and the bench plays on
// as before, but they do not fail the run.
//
// Single-threaded: Run blocks in poll on the master, an eventfd and computed deadlines.
class DeviceSimulator {
 public:
  explicit DeviceSimulator(SimOptions options);
  ~DeviceSimulator();
  DeviceSimulator(const DeviceSimulator&) = delete;
  DeviceSimulator& operator=(const DeviceSimulator&) = delete;

  // Creates the pseudo-terminal, the link and the report. False with a one-line *error.
  bool Open(std::string* error);
  // The slave side as Open made it, for the host to open ("/dev/pts/N"). Only before Run: a
  // replug makes a new one, which the replug listener hears of.
  const std::string& SlavePath() const { return pty_.slave_path(); }
  // `listener` is called on Run's thread with the new slave path every time the port comes
  // back, once its link is in place. Call before Run.
  void SetReplugListener(std::function<void(const std::string& slave_path)> listener);

  // Plays devices until the wanted number is done, the line is hung up for good, a device
  // gives up, RequestStop is called or the port fails (also when it cannot come back). Call
  // once, after Open. The link is gone when it returns.
  SimResult Run();

  // Makes Run return soon. Safe from any thread and from a signal handler.
  void RequestStop();

 private:
  using Clock = std::chrono::steady_clock;
  enum class Stage {
    kPowerOff,
    kBooting,
    kWaitInterrupt,
    kBootedOn,
    kAwaitWrite,
    kAwaitRead,
    kBusy,
    kSilent,
    kUnplugged,
    kFinished,
  };

  static const char* StageName(Stage stage);
  double Ms() const;
  void PrintLine(const std::string& text, std::function<void()> printed = nullptr);

  struct Board {
    int serial = 0;
    std::uint64_t flash = 0;
  };
  enum class BoardFault { kNone, kPull, kUnplug };

  bool Roll(int percent);
  void PowerOn(bool next_device);
  void OnPromptTimeout();
  void LeaveAfterWrite();
  void OnCodePrinted();
  void OnInterruptTimeout();
  void OnInterrupt();
  void OnPromptPrinted();
  void OnDonePrinted();
  void OnDumpPrinted();
  void FinishDevice();
  void Drain(std::function<void()> then);
  void HangUp();
  bool PlugIn(std::string* error);
  void Unplug();
  void Replug();

  void ReadHost();
  void OnHostByte(char c);
  void OnCommandLine();
  void Refuse(const std::string& line, bool known_command);
  void HostError(const std::string& what);
  void FlushUnexpected();
  SimResult Finish();

  SimOptions options_;
  PseudoTerminal pty_;
  SimReport report_;
  BoardLedger ledger_;
  ConsoleText text_;
  std::unique_ptr<OutputQueue> out_;
  std::string flood_;
  int open_watch_ = -1;  // readable when the host opens the port; -1 when not waiting
  int stop_fd_ = -1;
  std::function<void(const std::string&)> replug_listener_;
  Clock::time_point start_{};

  Stage stage_ = Stage::kPowerOff;
  DeviceRecord current_;
  bool device_open_ = false;
  std::optional<std::uint64_t> last_verified_;
  std::set<std::uint64_t> verified_;  // every address a device read back
  std::uint64_t code_lines_ = 0;
  std::uint64_t interrupts_ = 0;
  std::string input_line_;
  bool line_error_ = false;  // this command line has been reported already
  std::string unexpected_;
  std::optional<Clock::time_point> interrupt_deadline_;
  std::optional<Clock::time_point> drain_deadline_;
  Clock::time_point drain_settled_{};
  std::function<void()> after_drain_;
  std::optional<Clock::time_point> replug_deadline_;  // set while unplugged
  std::optional<Clock::time_point> prompt_deadline_;  // set while at the prompt, with a timeout

  std::mt19937_64 bench_rng_;  // which boards have which faults
  Board board_;                // the one on the bench
  bool bad_flash_ = false;
  BoardFault fault_ = BoardFault::kNone;
  int boards_made_ = 0;
  std::deque<Board> shelf_;  // boards that left unconfirmed, to be put back

  SimResult result_;
  std::string fatal_;
  bool stop_requested_ = false;
};

}  // namespace pelorus::devsim
