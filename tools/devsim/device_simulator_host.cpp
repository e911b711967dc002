// What the host types, judged against what a correct host types at each point (see
// device_simulator.h), and the console's answers to it.
#include <unistd.h>

#include <cerrno>
#include <random>

#include "device_simulator.h"
#include "sim_address.h"

namespace pelorus::devsim {
namespace {

constexpr char kWriteCommand[] = "macprog2 ";
constexpr char kReadCommand[] = "d -b -p 0x1fd0000c 6";
constexpr std::size_t kMaxCommandLine = 256;

bool IsWriteCommand(const std::string& line) {
  return line.rfind(kWriteCommand, 0) == 0;
}

}  // namespace

void DeviceSimulator::ReadHost() {
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(pty_.master(), buffer, sizeof(buffer));
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      break;
    }
    result_.bytes_in += static_cast<std::uint64_t>(n);
    for (ssize_t i = 0; i < n && stage_ != Stage::kFinished; ++i) {
      OnHostByte(buffer[i]);
    }
  }
  FlushUnexpected();
}

void DeviceSimulator::OnHostByte(char c) {
  if (stage_ == Stage::kSilent || stage_ == Stage::kFinished) {
    return;
  }
  const bool at_prompt = stage_ == Stage::kAwaitWrite || stage_ == Stage::kAwaitRead;
  if (at_prompt && prompt_deadline_) {
    prompt_deadline_ = Clock::now() + options_.prompt_timeout;
  }
  if (c == '\x03') {
    FlushUnexpected();
    if (interrupts_ >= code_lines_) {
      HostError("interrupt byte 0x03 with no CODE line to answer");
      return;
    }
    ++interrupts_;
    if (stage_ == Stage::kWaitInterrupt) {
      OnInterrupt();
    } else if (at_prompt) {
      // A late answer to an earlier boot's CODE line: the console drops the typed line.
      report_.Event(JsonLine("late_interrupt").AddMs("t_ms", Ms()).Add("device", current_.number));
      if (options_.echo) {
        out_->AddBytes(ConsoleText::InterruptEcho() + text_.Ending());
      }
      out_->AddBytes(ConsoleText::Prompt());
      input_line_.clear();
      line_error_ = false;
    } else {
      report_.Event(JsonLine("late_interrupt").AddMs("t_ms", Ms()).Add("device", current_.number));
    }
    return;
  }
  if (!at_prompt) {
    unexpected_ += c;
    return;
  }
  if (c == '\n') {
    OnCommandLine();
  } else if (c == '\r') {
    if (!line_error_) {
      HostError("carriage return in a command line (the device needs none)");
      line_error_ = true;
    }
  } else if (input_line_.size() >= kMaxCommandLine) {
    if (!line_error_) {
      HostError("command line longer than " + std::to_string(kMaxCommandLine) + " bytes");
      line_error_ = true;
    }
  } else {
    input_line_ += c;
    if (options_.echo) {
      out_->AddBytes(std::string(1, c));
    }
  }
}

void DeviceSimulator::OnCommandLine() {
  const std::string line = std::move(input_line_);
  input_line_.clear();
  line_error_ = false;
  if (options_.echo) {
    out_->AddBytes(text_.Ending());
  }
  bool lower_case = false;
  const std::optional<std::uint64_t> written =
      IsWriteCommand(line) ? ParseAddress(line.substr(sizeof(kWriteCommand) - 1), '-', &lower_case)
                           : std::nullopt;
  if (stage_ == Stage::kAwaitWrite && written) {
    const std::uint64_t address = *written;
    if (lower_case) {
      HostError("lower-case hex in \"" + line + "\"");
    }
    current_.written = address;
    current_.write_ms = Ms();
    if (bad_flash_) {
      report_.Event(JsonLine("bad_flash").AddMs("t_ms", Ms()).Add("serial", board_.serial));
    } else {
      board_.flash = address;
    }
    report_.Event(
        JsonLine("write")
            .AddMs("t_ms", current_.write_ms)
            .Add("device", current_.number)
            .Add("address", FormatAddress(address, '-'))
            .Add("expected", current_.expected ? FormatAddress(*current_.expected, '-') : "-"));
    if (current_.expected && address != *current_.expected) {
      HostError("wrote " + FormatAddress(address, '-') + ", expected " +
                FormatAddress(*current_.expected, '-') +
                " (one above the last address read back correctly)");
    } else if (verified_.count(address) != 0) {
      HostError("wrote " + FormatAddress(address, '-') + ", which an earlier device holds already");
    }
    stage_ = Stage::kBusy;
    out_->AddPause(options_.command_time);
    PrintLine(ConsoleText::WrittenLine(address), [this] { OnDonePrinted(); });
    out_->AddBytes(ConsoleText::Prompt());
  } else if (stage_ == Stage::kAwaitRead && line == kReadCommand) {
    current_.read_ms = Ms();
    report_.Event(JsonLine("read").AddMs("t_ms", current_.read_ms).Add("device", current_.number));
    std::uint64_t shown = board_.flash;
    if (options_.wrong_readback.count(current_.number) != 0) {
      std::mt19937_64 rng(options_.seed + static_cast<std::uint64_t>(current_.number));
      const auto octet = rng() % 6;
      shown ^= (1 + rng() % 255) << (8 * octet);
    }
    current_.shown = shown;
    stage_ = Stage::kBusy;
    out_->AddPause(options_.command_time);
    std::string dump = ConsoleText::DumpLine(shown);
    if (Roll(options_.readback_noise_percent)) {
      dump += ' ';
      dump += static_cast<char>(0x80 + bench_rng_() % 0x7F);
      report_.Event(JsonLine("readback_noise").AddMs("t_ms", Ms()).Add("device", current_.number));
    }
    PrintLine(dump, [this] { OnDumpPrinted(); });
    out_->AddBytes(ConsoleText::Prompt());
  } else {
    Refuse(line, written.has_value() || line == kReadCommand);
  }
}

void DeviceSimulator::Refuse(const std::string& line, bool known_command) {
  if (line.empty()) {
    HostError("empty command line");
  } else {
    HostError(std::string(known_command ? "command out of order" : "unknown command") + ": \"" +
              Escape(line, 64) + "\"");
  }
  PrintLine(known_command ? ConsoleText::OutOfOrderLine() : ConsoleText::UnknownCommandLine());
  out_->AddBytes(ConsoleText::Prompt());
}

void DeviceSimulator::HostError(const std::string& what) {
  ++current_.host_errors;
  result_.host_errors.push_back("device " + std::to_string(current_.number) + ", " +
                                StageName(stage_) + ": " + what);
  report_.HostError(Ms(), current_.number, StageName(stage_), what);
}

void DeviceSimulator::FlushUnexpected() {
  if (unexpected_.empty()) {
    return;
  }
  const std::string bytes = std::move(unexpected_);
  unexpected_.clear();
  HostError(std::to_string(bytes.size()) + " unexpected byte(s): \"" + Escape(bytes, 64) + "\"");
}

// A host that went away (killed, or stopped by its operator) leaves the board at its prompt;
// whoever comes next finds it booting again.
void DeviceSimulator::OnPromptTimeout() {
  if (stage_ != Stage::kAwaitWrite && stage_ != Stage::kAwaitRead) {
    return;
  }
  report_.Event(JsonLine("prompt_timeout").AddMs("t_ms", Ms()).Add("device", current_.number));
  stage_ = Stage::kBusy;
  PrintLine(ConsoleText::RestartLine());
  out_->AddAction([this] { PowerOn(false); });
}

// The board leaves holding what was written, before anything read it back: the next board
// comes after the power cycle, or after the port is back.
void DeviceSimulator::LeaveAfterWrite() {
  const bool pulled = fault_ == BoardFault::kPull;
  current_.result = pulled ? "pulled" : "unplugged";
  report_.Event(JsonLine(pulled ? "pull" : "unplug_after_write")
                    .AddMs("t_ms", Ms())
                    .Add("device", current_.number)
                    .Add("serial", board_.serial));
  FinishDevice();
  const bool enough =
      options_.devices > 0 && static_cast<int>(result_.devices.size()) >= options_.devices;
  if (enough) {
    Drain([this] { stage_ = Stage::kFinished; });
  } else if (pulled) {
    out_->AddPause(options_.power_cycle);
    out_->AddAction([this] { PowerOn(true); });
  } else {
    Drain([this] { Unplug(); });
  }
}

}  // namespace pelorus::devsim
