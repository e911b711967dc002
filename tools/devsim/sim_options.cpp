#include "sim_options.h"

#include <cerrno>
#include <cstdlib>
#include <functional>
#include <map>

#include "mac48.h"

namespace pelorus::devsim {
namespace {

constexpr const char* kHelp =
    R"(Usage: pelorus-devsim [options]
Plays one device after another on a pseudo-terminal, the way a bench sees it: boot text with a
"CODE" line, a prompt with a "480" line after the interrupt byte 0x03, "done" after
"macprog2 XX-XX-XX-XX-XX-XX" + LF, a dump of the six address bytes after
"d -b -p 0x1fd0000c 6" + LF, then a power cycle and the next, blank device.
The first line on stdout is "pty /dev/pts/N"; a summary line follows for every device.

Bench:
  --link PATH            symbolic link to the slave side, removed on exit
  --devices N            devices to play, then exit (default: until SIGINT/SIGTERM)
  --report FILE          JSON lines report: one object per event and per device
  --seed N               seed for every random choice (default 1)
  --first XX-XX-XX-XX-XX-XX
                         address the first device must get (default: any)
  --echo on|off          echo what the host types (default on)
  --line-end crlf|lfcr|cr|lf
                         line ending of device lines (default crlf)
  --quiet                only the "pty" line on stdout, only the final reason on stderr
  --wait-open            power the first device on only after the host opened the port
                         (and --open-delay has passed); default: at once

Timing (defaults look like a real board):
  --open-delay MS        with --wait-open: from the host's open to power-on (default 100)
  --boot-pause MS        between boot lines (default 150)
  --interrupt-wait MS|forever
                         wait for 0x03 after the CODE line, then boot on (default 3000)
  --command-time MS      before a command is answered (default 100)
  --power-cycle MS       between two devices (default 1000)
  --restart-pause MS     a booted-on device restarts after this (default 1000)
  --boot-attempts N      unanswered boots before a device gives up and the run fails
                         (default 0: never)
  --byte-delay US        microseconds per byte written (default 0)
  --drain-limit MS       before closing, wait up to this for the host to read (default 2000)
  --no-delays            boot, command, power-cycle and restart pauses 0, no byte delay
                         (the interrupt wait stays: a boot the host missed still restarts)

Faults:
  --chunk MIN-MAX        write output in random chunks of MIN..MAX bytes
  --gap MIN-MAX          random pause in ms after each chunk (needs --chunk)
  --zeros PERCENT        chance of 1-3 zero bytes before a device line
  --noise PERCENT        chance of a line of noise before a device line
  --wrong-readback K[,K..]
                         device K's dump shows a different address
  --no-answer K[:STAGE]  device K goes silent at STAGE: boot, interrupt, write (default)
                         or readback
  --hangup-after K       close the pseudo-terminal after K devices and exit
  --flood BYTES          BYTES of console text in every boot, as fast as the port takes them

Exit status: 0 when every device was written with the address one above the previous one
(the first with any, or --first) and read back, the host typed nothing wrong and, with
--devices N, N devices were played; 1 otherwise, with a one-line reason on stderr;
2 for a usage or set-up error.
)";

bool ParseInt(const std::string& text, long long min, long long max, long long* value) {
  if (text.empty()) {
    return false;
  }
  errno = 0;
  char* end = nullptr;
  const long long v = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || v < min || v > max) {
    return false;
  }
  *value = v;
  return true;
}

bool ParseRange(const std::string& text, long long min, long long max, IntRange* range) {
  const auto dash = text.find('-');
  long long lo = 0;
  long long hi = 0;
  if (dash == std::string::npos) {
    if (!ParseInt(text, min, max, &lo)) {
      return false;
    }
    hi = lo;
  } else if (!ParseInt(text.substr(0, dash), min, max, &lo) ||
             !ParseInt(text.substr(dash + 1), min, max, &hi)) {
    return false;
  }
  if (lo > hi) {
    return false;
  }
  range->min = static_cast<int>(lo);
  range->max = static_cast<int>(hi);
  return true;
}

bool ParseMs(const std::string& text, std::chrono::milliseconds* value) {
  long long v = 0;
  if (!ParseInt(text, 0, 24LL * 3600 * 1000, &v)) {
    return false;
  }
  *value = std::chrono::milliseconds(v);
  return true;
}

constexpr long long kMaxCount = 1000000000;

}  // namespace

const char* LineEndName(LineEnd end) {
  switch (end) {
    case LineEnd::kCrLf:
      return "crlf";
    case LineEnd::kLfCr:
      return "lfcr";
    case LineEnd::kCr:
      return "cr";
    case LineEnd::kLf:
      return "lf";
  }
  return "?";
}

std::string SimOptionsHelp() {
  return kHelp;
}

ParsedOptions ParseSimOptions(const std::vector<std::string>& args) {
  ParsedOptions result;
  SimOptions& o = result.options;
  bool gap_given = false;
  long long v = 0;

  // Each handler returns false when its value is not acceptable.
  using Handler = std::function<bool(const std::string&)>;
  const std::map<std::string, Handler> with_value = {
      {"--link", [&](const std::string& s) { return !(o.link_path = s).empty(); }},
      {"--report", [&](const std::string& s) { return !(o.report_path = s).empty(); }},
      {"--devices",
       [&](const std::string& s) {
         return ParseInt(s, 1, kMaxCount, &v) && ((o.devices = v), true);
       }},
      {"--seed",
       [&](const std::string& s) {
         char* end = nullptr;
         errno = 0;
         o.seed = std::strtoull(s.c_str(), &end, 10);
         return !s.empty() && s[0] != '-' && errno == 0 && *end == '\0';
       }},
      {"--first",
       [&](const std::string& s) {
         std::uint64_t address = 0;
         if (!ParseMac(s, '-', &address, nullptr)) {
           return false;
         }
         o.first_address = address;
         return true;
       }},
      {"--echo",
       [&](const std::string& s) {
         o.echo = s == "on";
         return s == "on" || s == "off";
       }},
      {"--line-end",
       [&](const std::string& s) {
         for (LineEnd e : {LineEnd::kCrLf, LineEnd::kLfCr, LineEnd::kCr, LineEnd::kLf}) {
           if (s == LineEndName(e)) {
             o.line_end = e;
             return true;
           }
         }
         return false;
       }},
      {"--boot-pause", [&](const std::string& s) { return ParseMs(s, &o.boot_pause); }},
      {"--open-delay", [&](const std::string& s) { return ParseMs(s, &o.open_delay); }},
      {"--interrupt-wait",
       [&](const std::string& s) {
         if (s == "forever") {
           o.interrupt_wait = std::chrono::milliseconds(-1);
           return true;
         }
         return ParseMs(s, &o.interrupt_wait);
       }},
      {"--command-time", [&](const std::string& s) { return ParseMs(s, &o.command_time); }},
      {"--power-cycle", [&](const std::string& s) { return ParseMs(s, &o.power_cycle); }},
      {"--restart-pause", [&](const std::string& s) { return ParseMs(s, &o.restart_pause); }},
      {"--drain-limit", [&](const std::string& s) { return ParseMs(s, &o.drain_limit); }},
      {"--boot-attempts",
       [&](const std::string& s) {
         return ParseInt(s, 0, kMaxCount, &v) && ((o.boot_attempts = v), true);
       }},
      {"--byte-delay",
       [&](const std::string& s) {
         return ParseInt(s, 0, 10000000, &v) &&
                ((o.byte_delay = std::chrono::microseconds(v)), true);
       }},
      {"--chunk",
       [&](const std::string& s) { return (o.chunking = ParseRange(s, 1, 65536, &o.chunk)); }},
      {"--gap",
       [&](const std::string& s) { return (gap_given = ParseRange(s, 0, 60000, &o.gap_ms)); }},
      {"--zeros",
       [&](const std::string& s) {
         return ParseInt(s, 0, 100, &v) && ((o.zero_percent = v), true);
       }},
      {"--noise",
       [&](const std::string& s) {
         return ParseInt(s, 0, 100, &v) && ((o.noise_percent = v), true);
       }},
      {"--wrong-readback",
       [&](const std::string& s) {
         std::size_t start = 0;
         while (start <= s.size()) {
           const auto comma = std::min(s.find(',', start), s.size());
           if (!ParseInt(s.substr(start, comma - start), 1, kMaxCount, &v)) {
             return false;
           }
           o.wrong_readback.insert(static_cast<int>(v));
           start = comma + 1;
         }
         return true;
       }},
      {"--no-answer",
       [&](const std::string& s) {
         const auto colon = s.find(':');
         if (!ParseInt(s.substr(0, colon), 1, kMaxCount, &v)) {
           return false;
         }
         o.mute_device = static_cast<int>(v);
         if (colon == std::string::npos) {
           return true;
         }
         const std::string stage = s.substr(colon + 1);
         const std::map<std::string, MuteStage> stages = {{"boot", MuteStage::kBoot},
                                                          {"interrupt", MuteStage::kInterrupt},
                                                          {"write", MuteStage::kWrite},
                                                          {"readback", MuteStage::kReadBack}};
         const auto it = stages.find(stage);
         if (it == stages.end()) {
           return false;
         }
         o.mute_stage = it->second;
         return true;
       }},
      {"--hangup-after",
       [&](const std::string& s) {
         return ParseInt(s, 1, kMaxCount, &v) && ((o.hangup_after = v), true);
       }},
      {"--flood",
       [&](const std::string& s) {
         return ParseInt(s, 0, 1LL << 34, &v) && ((o.flood_bytes = v), true);
       }},
  };

  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string name = args[i];
    std::optional<std::string> value;
    if (const auto eq = name.find('='); name.rfind("--", 0) == 0 && eq != std::string::npos) {
      value = name.substr(eq + 1);
      name.resize(eq);
    }
    if (name == "--help" || name == "-h") {
      result.help = true;
      result.ok = true;
      return result;
    }
    if (name == "--quiet" || name == "--no-delays" || name == "--wait-open") {
      if (value) {
        result.error = name + " takes no value";
        return result;
      }
      if (name == "--quiet") {
        o.console_output = false;
      } else if (name == "--wait-open") {
        o.wait_open = true;
      } else {
        o.boot_pause = o.command_time = o.power_cycle = o.restart_pause = {};
        o.byte_delay = {};
      }
      continue;
    }
    const auto it = with_value.find(name);
    if (it == with_value.end()) {
      result.error = "unknown option " + args[i] + " (try --help)";
      return result;
    }
    if (!value) {
      if (i + 1 >= args.size()) {
        result.error = name + " needs a value";
        return result;
      }
      value = args[++i];
    }
    if (!it->second(*value)) {
      result.error = "bad value for " + name + ": " + *value;
      return result;
    }
  }
  if (gap_given && !o.chunking) {
    result.error = "--gap needs --chunk";
    return result;
  }
  result.ok = true;
  return result;
}

}  // namespace pelorus::devsim
