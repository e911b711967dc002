#include "sim_options.h"

#include <CLI/CLI.hpp>

#include <charconv>
#include <functional>
#include <map>
#include <sstream>

#include "pelorus_version.h"
#include "sim_address.h"

namespace pelorus::devsim {
namespace {

constexpr const char* kAbout =
    R"(Plays one device after another on a pseudo-terminal, the way a bench sees it: boot text with a
"CODE" line, a prompt with a "480" line after the interrupt byte 0x03, "done" after
"macprog2 XX-XX-XX-XX-XX-XX" + LF (stored in the board's flash), a dump of the six bytes the
flash holds after "d -b -p 0x1fd0000c 6" + LF, then a power cycle and the next board, its
flash blank (FF FF FF FF FF FF).
The first line on stdout is "pty /dev/pts/N"; a summary line follows for every device, and
with --replug a line "pty /dev/pts/M" every time the port comes back, its link already in place.
)";

constexpr const char* kExitStatus =
    R"(Exit status: 0 when every device was written with the address one above the previous one
(the first with any, or --first; with --any-address, one no earlier device holds) and read
back, the host typed nothing wrong and, with
--devices N, N devices were played; 1 otherwise, with a one-line reason on stderr;
2 for a usage or set-up error.)";

constexpr std::uint64_t kMaxCount = 1000000000;
constexpr std::uint64_t kDayMs = 24ULL * 3600 * 1000;

const std::map<std::string, LineEnd> kLineEnds = {
    {"crlf", LineEnd::kCrLf}, {"lfcr", LineEnd::kLfCr}, {"cr", LineEnd::kCr}, {"lf", LineEnd::kLf}};
const std::map<std::string, MuteStage> kStages = {{"boot", MuteStage::kBoot},
                                                  {"interrupt", MuteStage::kInterrupt},
                                                  {"write", MuteStage::kWrite},
                                                  {"readback", MuteStage::kReadBack}};

// Plain decimal digits in [min, max]: no sign, no blank, nothing after.
std::optional<std::uint64_t> ParseWhole(const std::string& text, std::uint64_t min,
                                        std::uint64_t max) {
  std::uint64_t v = 0;
  const char* const end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, v);
  if (error != std::errc() || stop != end || v < min || v > max) {
    return std::nullopt;
  }
  return v;
}

// MIN-MAX, or N for N-N.
bool ParseRange(const std::string& text, std::uint64_t min, std::uint64_t max, IntRange* range) {
  const auto dash = text.find('-');
  const auto lo = ParseWhole(text.substr(0, dash), min, max);
  const auto hi = dash == std::string::npos ? lo : ParseWhole(text.substr(dash + 1), min, max);
  if (!lo || !hi || *lo > *hi) {
    return false;
  }
  range->min = static_cast<int>(*lo);
  range->max = static_cast<int>(*hi);
  return true;
}

template <typename T>
bool Lookup(const std::map<std::string, T>& names, const std::string& name, T* value) {
  const auto it = names.find(name);
  return it != names.end() && ((*value = it->second), true);
}

// CLI11 reads numbers as C literals ("010" is eight, "-1" wraps round into an unsigned target),
// where a bench script means plain decimal: this checks the value and hands it on without
// leading zeros.
CLI::Validator Whole(std::uint64_t min, std::uint64_t max) {
  return CLI::Validator(
      [min, max](std::string& text) {
        const auto v = ParseWhole(text, min, max);
        if (!v) {
          return text + " is not a number from " + std::to_string(min) + " to " +
                 std::to_string(max);
        }
        text = std::to_string(*v);
        return std::string();
      },
      "");
}

// An option whose value `read` checks and stores itself; false refuses the value.
CLI::Option* AddRead(CLI::App* app, const std::string& name, const std::string& value_name,
                     const std::string& help, std::function<bool(const std::string&)> read) {
  const auto take = [name, value_name, read](const std::string& value) {
    if (!read(value)) {
      throw CLI::ValidationError(name, "bad value " + value + ", want " + value_name);
    }
  };
  return app->add_option_function<std::string>(name, take, help)->option_text(value_name);
}

// A number from min to max into `value`, an integer or a duration.
template <typename T>
void AddNumber(CLI::App* app, const std::string& name, const std::string& value_name, T* value,
               std::uint64_t min, std::uint64_t max, const std::string& help) {
  app->add_option<T, std::uint64_t>(name, *value, help)
      ->transform(Whole(min, max))
      ->option_text(value_name);
}

// Puts every option on `app`, each storing into `o`.
void DefineOptions(CLI::App* app, SimOptions* o) {
  app->name("pelorus-devsim");
  app->description(kAbout);
  app->footer(kExitStatus);
  app->get_formatter()->column_width(25);
  // A flag stands alone: "--quiet=no" is refused rather than read as a setting.
  app->option_defaults()->disable_flag_override()->group("Bench");
  app->set_help_flag("-h,--help", "print this help and exit");
  app->set_version_flag("--version", "pelorus-devsim " PELORUS_VERSION_TEXT,
                        "print the version and exit");

  AddRead(app, "--link", "PATH",
          "symbolic link to the slave side, removed on exit and while unplugged",
          [o](const std::string& s) { return !(o->link_path = s).empty(); });
  AddNumber(app, "--devices", "N", &o->devices, 1, kMaxCount,
            "devices to play, then exit (default: until SIGINT/SIGTERM)");
  AddRead(app, "--report", "FILE", "JSON lines report: one object per event and per device",
          [o](const std::string& s) { return !(o->report_path = s).empty(); });
  AddNumber(app, "--seed", "N", &o->seed, 0, UINT64_MAX,
            "seed for every random choice (default 1)");
  AddRead(app, "--first", "XX-XX-XX-XX-XX-XX", "address the first device must get (default: any)",
          [o](const std::string& s) {
            const auto address = ParseAddress(s, '-');
            return address && ((o->first_address = *address), true);
          });
  app->add_flag("--any-address", o->any_address,
                "every device takes any address no earlier device holds, not one above the\n"
                "last (windows that share an address pool)");
  app->add_option("--echo", o->echo, "echo what the host types (default on)")
      ->check(CLI::IsMember({"on", "off"}))
      ->option_text("on|off");
  AddRead(app, "--line-end", "crlf|lfcr|cr|lf", "line ending of device lines (default crlf)",
          [o](const std::string& s) { return Lookup(kLineEnds, s, &o->line_end); });
  app->add_flag_callback(
      "--quiet", [o] { o->console_output = false; },
      "only the \"pty\" lines on stdout, only the final reason on stderr");
  app->add_flag("--wait-open", o->wait_open,
                "power the first device on only after the host opened the port\n"
                "(and --open-delay has passed), again after a replug; default: at once");

  app->option_defaults()->group("Timing (defaults look like a real board)");
  AddNumber(app, "--open-delay", "MS", &o->open_delay, 0, kDayMs,
            "with --wait-open: from the host's open to power-on (default 100)");
  AddNumber(app, "--boot-pause", "MS", &o->boot_pause, 0, kDayMs,
            "between boot lines (default 150)");
  AddRead(app, "--interrupt-wait", "MS|forever",
          "wait for 0x03 after the CODE line, then boot on (default 3000)",
          [o](const std::string& s) {
            const auto ms = ParseWhole(s, 0, kDayMs);
            o->interrupt_wait = std::chrono::milliseconds(ms ? static_cast<std::int64_t>(*ms) : -1);
            return ms || s == "forever";
          });
  AddNumber(app, "--command-time", "MS", &o->command_time, 0, kDayMs,
            "before a command is answered (default 100)");
  AddNumber(app, "--power-cycle", "MS", &o->power_cycle, 0, kDayMs,
            "between two devices (default 1000)");
  AddNumber(app, "--restart-pause", "MS", &o->restart_pause, 0, kDayMs,
            "a booted-on device restarts after this (default 1000)");
  AddNumber(app, "--boot-attempts", "N", &o->boot_attempts, 0, kMaxCount,
            "unanswered boots before a device gives up and the run fails\n(default 0: never)");
  AddNumber(app, "--byte-delay", "US", &o->byte_delay, 0, 10000000,
            "microseconds per byte written (default 0)");
  AddNumber(app, "--drain-limit", "MS", &o->drain_limit, 0, kDayMs,
            "before closing, wait up to this for the host to read (default 2000)");
  AddNumber(app, "--away", "MS", &o->away, 0, kDayMs,
            "with --replug: from the hang-up until the port is back (default 1000)");
  app->add_flag_callback(
      "--no-delays",
      [o] {
        o->boot_pause = o->command_time = o->power_cycle = o->restart_pause = {};
        o->byte_delay = {};
      },
      "boot, command, power-cycle and restart pauses 0, no byte delay\n"
      "(the interrupt wait stays: a boot the host missed still restarts)");

  app->option_defaults()->group("Faults");
  auto* chunk = AddRead(
      app, "--chunk", "MIN-MAX", "write output in random chunks of MIN..MAX bytes",
      [o](const std::string& s) { return (o->chunking = ParseRange(s, 1, 65536, &o->chunk)); });
  AddRead(app, "--gap", "MIN-MAX", "random pause in ms after each chunk (needs --chunk)",
          [o](const std::string& s) { return ParseRange(s, 0, 60000, &o->gap_ms); })
      ->needs(chunk);
  AddNumber(app, "--zeros", "PERCENT", &o->zero_percent, 0, 100,
            "chance of 1-3 zero bytes before a device line");
  AddNumber(app, "--noise", "PERCENT", &o->noise_percent, 0, 100,
            "chance of a line of noise before a device line");
  AddRead(app, "--wrong-readback", "K[,K..]", "device K's dump shows a different address",
          [o](const std::string& s) {
            std::istringstream list(s);
            for (std::string k; std::getline(list, k, ',');) {
              const auto device = ParseWhole(k, 1, kMaxCount);
              if (!device) {
                return false;
              }
              o->wrong_readback.insert(static_cast<int>(*device));
            }
            return !s.empty() && s.back() != ',';
          });
  AddRead(app, "--no-answer", "K[:STAGE]",
          "device K goes silent at STAGE: boot, interrupt, write (default)\nor readback",
          [o](const std::string& s) {
            const auto colon = s.find(':');
            const auto k = ParseWhole(s.substr(0, colon), 1, kMaxCount);
            if (!k) {
              return false;
            }
            o->mute_device = static_cast<int>(*k);
            return colon == std::string::npos ||
                   Lookup(kStages, s.substr(colon + 1), &o->mute_stage);
          });
  AddNumber(app, "--hangup-after", "K", &o->hangup_after, 1, kMaxCount,
            "close the pseudo-terminal after K devices and exit (see --replug)");
  app->add_flag("--replug", o->replug,
                "with --hangup-after K: the adapter is pulled out after every K devices\n"
                "(port and link gone), and after --away a new pseudo-terminal comes back\n"
                "behind the same link; devices go on until --devices are played");
  AddNumber(app, "--bad-flash", "PERCENT", &o->bad_flash_percent, 0, 100,
            "share of boards whose flash ignores the write (they read back what\nthey held)");
  AddNumber(app, "--pull-after-write", "PERCENT", &o->pull_percent, 0, 100,
            "share of boards pulled off the bench after the address command,\n"
            "before the read-back, holding what they were written");
  AddNumber(app, "--unplug-after-write", "PERCENT", &o->unplug_percent, 0, 100,
            "with --replug: share of boards after whose address command the\n"
            "adapter is pulled out; the board leaves holding the address");
  AddNumber(app, "--readback-noise", "PERCENT", &o->readback_noise_percent, 0, 100,
            "share of dump lines with one byte of line noise (0x80-0xFE)\n"
            "after the six bytes, beyond a blank");
  AddNumber(app, "--flood", "BYTES", &o->flood_bytes, 0, 1ULL << 34,
            "BYTES of console text in every boot, as fast as the port takes them");

  app->option_defaults()->group("Boards and the host");
  AddNumber(app, "--serial-base", "N", &o->serial_base, 0, kMaxCount,
            "boards get serial numbers N, N+1, ... (default 1)");
  AddNumber(app, "--rebench", "PERCENT", &o->rebench_percent, 0, 100,
            "chance that the next board is one that left unconfirmed, put back\n"
            "with what its flash holds (default 0)");
  AddRead(app, "--prompt-timeout", "MS|forever",
          "a board at its prompt that hears nothing from the host for MS\n"
          "restarts (default forever)",
          [o](const std::string& s) {
            const auto ms = ParseWhole(s, 1, kDayMs);
            o->prompt_timeout = std::chrono::milliseconds(ms ? static_cast<std::int64_t>(*ms) : -1);
            return ms || s == "forever";
          });
  AddRead(app, "--ledger", "FILE",
          "JSON lines, one per board as it leaves the bench: serial, the\n"
          "address its flash holds (null: blank), whether its read-back was shown",
          [o](const std::string& s) { return !(o->ledger_path = s).empty(); });
  app->add_flag("--lenient", o->lenient,
                "host errors are reported but the exit status is 0 unless the\n"
                "port failed (a host that is killed and restarted)");

  // Checked here rather than by CLI11's needs(), which would crowd the flag's help line.
  app->final_callback([o] {
    if (o->replug && o->hangup_after == 0 && o->unplug_percent == 0) {
      throw CLI::RequiresError("--replug", "--hangup-after or --unplug-after-write");
    }
    if (o->unplug_percent > 0 && !o->replug) {
      throw CLI::RequiresError("--unplug-after-write", "--replug");
    }
  });

  // Each option takes effect where it stands on the command line, so a later one wins over an
  // earlier one and --no-delays clears only the pauses given before it.
  for (CLI::Option* option : app->get_options()) {
    option->trigger_on_parse();
  }
}

}  // namespace

const char* LineEndName(LineEnd end) {
  for (const auto& [name, value] : kLineEnds) {
    if (value == end) {
      return name.c_str();
    }
  }
  return "?";
}

std::string SimOptionsHelp() {
  SimOptions unused;
  CLI::App app;
  DefineOptions(&app, &unused);
  return app.help();
}

ParsedOptions ParseSimOptions(const std::vector<std::string>& args) {
  ParsedOptions result;
  CLI::App app;
  DefineOptions(&app, &result.options);
  try {
    // CLI11 takes the arguments last first.
    app.parse(std::vector<std::string>(args.rbegin(), args.rend()));
    result.ok = true;
  } catch (const CLI::CallForHelp&) {
    result.ok = result.help = true;
  } catch (const CLI::CallForVersion& e) {
    result.ok = true;
    result.version = e.what();
  } catch (const CLI::ParseError& e) {
    result.error = e.what();
  }
  return result;
}

}  // namespace pelorus::devsim
