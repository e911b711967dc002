#include "device_simulator.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "sim_address.h"

namespace pelorus::devsim {
namespace {

// While waiting for the host to read the last bytes, look again this often. Bytes written
// to the master reach the slave's input queue through a kernel work item, so an empty queue
// right after the write proves nothing: the first look comes after kDrainSettle.
constexpr auto kDrainRecheck = std::chrono::milliseconds(10);
constexpr auto kDrainSettle = std::chrono::milliseconds(50);

}  // namespace

DeviceSimulator::DeviceSimulator(SimOptions options)
    : options_(std::move(options)),
      text_(options_.line_end, options_.zero_percent, options_.noise_percent, options_.seed),
      stop_fd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)),
      bench_rng_(options_.seed ^ 0x5DEECE66DULL) {}

bool DeviceSimulator::Roll(int percent) {
  return percent > 0 && static_cast<int>(bench_rng_() % 100) < percent;
}

DeviceSimulator::~DeviceSimulator() {
  pty_.Close();
  if (stop_fd_ >= 0) {
    ::close(stop_fd_);
  }
}

void DeviceSimulator::RequestStop() {
  const std::uint64_t one = 1;
  // Nothing to do if it fails: the counter is already non-zero.
  [[maybe_unused]] const auto ignored = ::write(stop_fd_, &one, sizeof(one));
}

const char* DeviceSimulator::StageName(Stage stage) {
  switch (stage) {
    case Stage::kPowerOff:
      return "power cycle";
    case Stage::kBooting:
      return "booting";
    case Stage::kWaitInterrupt:
      return "waiting for the interrupt";
    case Stage::kBootedOn:
      return "booted on";
    case Stage::kAwaitWrite:
      return "awaiting the address command";
    case Stage::kAwaitRead:
      return "awaiting the read-back command";
    case Stage::kBusy:
      return "busy answering";
    case Stage::kSilent:
      return "silent";
    case Stage::kUnplugged:
      return "unplugged";
    case Stage::kFinished:
      return "finished";
  }
  return "?";
}

double DeviceSimulator::Ms() const {
  return std::chrono::duration<double, std::milli>(Clock::now() - start_).count();
}

void DeviceSimulator::PrintLine(const std::string& text, std::function<void()> printed) {
  ConsoleText::Line line = text_.MakeLine(text);
  out_->AddBytes(std::move(line.head));
  if (printed) {
    out_->AddAction(std::move(printed));
  }
  out_->AddBytes(std::move(line.tail));
}

SimResult DeviceSimulator::Run() {
  start_ = Clock::now();
  report_.Event(JsonLine("start")
                    .AddMs("t_ms", 0)
                    .Add("pty", pty_.slave_path())
                    .Add("link", options_.link_path)
                    .Add("seed", std::to_string(options_.seed))
                    .Add("devices", options_.devices)
                    .Add("line_end", LineEndName(options_.line_end))
                    .AddBool("echo", options_.echo));
  if (open_watch_ < 0) {
    PowerOn(true);
  }

  while (stage_ != Stage::kFinished) {
    auto now = Clock::now();
    if (interrupt_deadline_ && now >= *interrupt_deadline_) {
      interrupt_deadline_.reset();
      OnInterruptTimeout();
    }
    if (replug_deadline_ && now >= *replug_deadline_) {
      replug_deadline_.reset();
      Replug();
    }
    if (prompt_deadline_ && now >= *prompt_deadline_) {
      prompt_deadline_.reset();
      OnPromptTimeout();
    }
    const auto status = out_->Pump(now);
    if (status == OutputQueue::Status::kError) {
      fatal_ = out_->Error();
      break;
    }
    if (drain_deadline_ && now >= drain_settled_ &&
        ((status == OutputQueue::Status::kIdle && pty_.Unread() == 0) || now >= *drain_deadline_)) {
      drain_deadline_.reset();
      auto then = std::move(after_drain_);
      then();
    }
    if (stage_ == Stage::kFinished) {
      break;
    }

    std::optional<Clock::time_point> wake;
    const auto consider = [&wake](Clock::time_point t) { wake = wake ? std::min(*wake, t) : t; };
    if (status == OutputQueue::Status::kWaitTime) {
      consider(out_->WakeTime());
    }
    if (interrupt_deadline_) {
      consider(*interrupt_deadline_);
    }
    if (replug_deadline_) {
      consider(*replug_deadline_);
    }
    if (prompt_deadline_) {
      consider(*prompt_deadline_);
    }
    if (drain_deadline_) {
      consider(std::max(drain_settled_, std::min(*drain_deadline_, Clock::now() + kDrainRecheck)));
    }
    pollfd fds[3] = {{stop_fd_, POLLIN, 0}, {pty_.master(), POLLIN, 0}, {open_watch_, POLLIN, 0}};
    if (status == OutputQueue::Status::kWaitWritable) {
      fds[1].events |= POLLOUT;
    }
    timespec timeout{};
    if (wake) {
      const auto left = std::max(Clock::duration::zero(), *wake - Clock::now());
      const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
      timeout.tv_sec = static_cast<time_t>(ns / 1000000000);
      timeout.tv_nsec = static_cast<long>(ns % 1000000000);
    }
    if (::ppoll(fds, open_watch_ < 0 ? 2 : 3, wake ? &timeout : nullptr, nullptr) < 0) {
      if (errno == EINTR) {
        continue;
      }
      fatal_ = std::string("poll: ") + std::strerror(errno);
      break;
    }
    if (fds[0].revents != 0) {
      stop_requested_ = true;
      break;
    }
    if (open_watch_ >= 0 && fds[2].revents != 0 && pty_.TakeOpens()) {
      // The host has the port now; give it a moment to set the line up and flush it.
      open_watch_ = -1;
      report_.Event(JsonLine("host_open").AddMs("t_ms", Ms()));
      out_->AddPause(options_.open_delay);
      out_->AddAction([this] { PowerOn(true); });
    }
    if ((fds[1].revents & POLLIN) != 0) {
      ReadHost();
    } else if ((fds[1].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
      // Cannot happen while the slave is held open; stop rather than spin on it.
      fatal_ = "the pseudo-terminal failed";
      break;
    }
  }
  return Finish();
}

void DeviceSimulator::PowerOn(bool next_device) {
  if (next_device) {
    current_ = DeviceRecord{};
    current_.number = static_cast<int>(result_.devices.size()) + 1;
    current_.power_on_ms = Ms();
    if (!shelf_.empty() && Roll(options_.rebench_percent)) {
      board_ = shelf_.front();
      shelf_.pop_front();
    } else {
      board_ = Board{options_.serial_base + boards_made_++, kBlankFlash};
    }
    current_.serial = board_.serial;
    bad_flash_ = Roll(options_.bad_flash_percent);
    fault_ = Roll(options_.pull_percent)     ? BoardFault::kPull
             : Roll(options_.unplug_percent) ? BoardFault::kUnplug
                                             : BoardFault::kNone;
    if (last_verified_ && !options_.any_address) {
      current_.expected = NextAddress(*last_verified_);
    } else if (!last_verified_) {
      current_.expected = options_.first_address;
    }
    device_open_ = true;
  }
  ++current_.boots;
  report_.Event(JsonLine("power_on")
                    .AddMs("t_ms", Ms())
                    .Add("device", current_.number)
                    .Add("boot", current_.boots));
  if (current_.number == options_.mute_device && options_.mute_stage == MuteStage::kBoot) {
    stage_ = Stage::kSilent;
    return;
  }
  stage_ = Stage::kBooting;
  for (const auto& line : ConsoleText::BootLines()) {
    PrintLine(line);
    out_->AddPause(options_.boot_pause);
  }
  out_->AddFlood(flood_);
  PrintLine(ConsoleText::CodeLine(), [this] { OnCodePrinted(); });
}

void DeviceSimulator::OnCodePrinted() {
  ++code_lines_;
  current_.code_ms = Ms();
  report_.Event(JsonLine("code").AddMs("t_ms", current_.code_ms).Add("device", current_.number));
  if (current_.number == options_.mute_device && options_.mute_stage == MuteStage::kInterrupt) {
    stage_ = Stage::kSilent;
    return;
  }
  stage_ = Stage::kWaitInterrupt;
  if (options_.interrupt_wait.count() >= 0) {
    interrupt_deadline_ = Clock::now() + options_.interrupt_wait;
  }
}

void DeviceSimulator::OnInterruptTimeout() {
  if (stage_ != Stage::kWaitInterrupt) {
    return;
  }
  FlushUnexpected();
  stage_ = Stage::kBootedOn;
  report_.Event(JsonLine("boot_on").AddMs("t_ms", Ms()).Add("device", current_.number));
  if (options_.boot_attempts > 0 && current_.boots >= options_.boot_attempts) {
    current_.result = "gave-up";
    FinishDevice();
    stage_ = Stage::kFinished;
    return;
  }
  for (const auto& line : ConsoleText::BootOnLines()) {
    out_->AddPause(options_.boot_pause);
    PrintLine(line);
  }
  out_->AddPause(options_.restart_pause);
  PrintLine(ConsoleText::RestartLine());
  out_->AddAction([this] { PowerOn(false); });
}

void DeviceSimulator::OnInterrupt() {
  interrupt_deadline_.reset();
  current_.interrupt_ms = Ms();
  report_.Event(
      JsonLine("interrupt").AddMs("t_ms", current_.interrupt_ms).Add("device", current_.number));
  stage_ = Stage::kBusy;
  if (options_.echo) {
    out_->AddBytes(ConsoleText::InterruptEcho() + text_.Ending());
  }
  const auto& lines = ConsoleText::StoppedLines();
  for (std::size_t i = 0; i < lines.size(); ++i) {
    out_->AddPause(options_.command_time);
    PrintLine(lines[i], i + 1 == lines.size() ? std::function<void()>([this] { OnPromptPrinted(); })
                                              : nullptr);
  }
  out_->AddBytes(ConsoleText::Prompt());
}

void DeviceSimulator::OnPromptPrinted() {
  current_.prompt_ms = Ms();
  report_.Event(
      JsonLine("prompt").AddMs("t_ms", current_.prompt_ms).Add("device", current_.number));
  const bool mute =
      current_.number == options_.mute_device && options_.mute_stage == MuteStage::kWrite;
  stage_ = mute ? Stage::kSilent : Stage::kAwaitWrite;
  input_line_.clear();
  line_error_ = false;
  if (options_.prompt_timeout.count() >= 0) {
    prompt_deadline_ = Clock::now() + options_.prompt_timeout;
  }
}

void DeviceSimulator::OnDonePrinted() {
  current_.done_ms = Ms();
  report_.Event(JsonLine("done").AddMs("t_ms", current_.done_ms).Add("device", current_.number));
  if (fault_ != BoardFault::kNone) {
    LeaveAfterWrite();
    return;
  }
  const bool mute =
      current_.number == options_.mute_device && options_.mute_stage == MuteStage::kReadBack;
  stage_ = mute ? Stage::kSilent : Stage::kAwaitRead;
  if (options_.prompt_timeout.count() >= 0) {
    prompt_deadline_ = Clock::now() + options_.prompt_timeout;
  }
}

void DeviceSimulator::OnDumpPrinted() {
  current_.dump_ms = Ms();
  report_.Event(JsonLine("dump")
                    .AddMs("t_ms", current_.dump_ms)
                    .Add("device", current_.number)
                    .Add("shown", FormatAddress(current_.shown.value_or(0), ' ')));
  FinishDevice();
  const int played = static_cast<int>(result_.devices.size());
  const bool enough = options_.devices > 0 && played >= options_.devices;
  if (options_.hangup_after > 0 && played % options_.hangup_after == 0) {
    Drain([this, enough] {
      if (options_.replug && !enough) {
        Unplug();
      } else {
        HangUp();
      }
    });
  } else if (enough) {
    Drain([this] { stage_ = Stage::kFinished; });
  } else {
    out_->AddPause(options_.power_cycle);
    out_->AddAction([this] { PowerOn(true); });
  }
}

void DeviceSimulator::FinishDevice() {
  if (current_.result == "incomplete") {
    if (current_.written && current_.expected && *current_.written != *current_.expected) {
      current_.result = "wrong-address";
    } else if (current_.shown && current_.written && *current_.shown != *current_.written) {
      current_.result = "wrong-readback";
    } else {
      current_.result = "ok";
    }
  }
  // A host steps its address only after a read-back that matches what it wrote.
  const bool confirmed = current_.shown && current_.written && *current_.shown == *current_.written;
  if (confirmed) {
    last_verified_ = current_.written;
    verified_.insert(*current_.written);
  } else {
    shelf_.push_back(board_);
  }
  ledger_.Leave(board_.serial, board_.flash, current_.shown.has_value());
  result_.devices.push_back(current_);
  report_.Device(current_);
  device_open_ = false;
  prompt_deadline_.reset();
  stage_ = Stage::kPowerOff;
}

void DeviceSimulator::Drain(std::function<void()> then) {
  stage_ = Stage::kPowerOff;
  after_drain_ = std::move(then);
  drain_settled_ = Clock::now() + kDrainSettle;
  drain_deadline_ = std::max(drain_settled_, Clock::now() + options_.drain_limit);
}

SimResult DeviceSimulator::Finish() {
  FlushUnexpected();
  interrupt_deadline_.reset();
  if (device_open_) {
    current_.result = stage_ == Stage::kSilent ? "no-answer" : "incomplete";
    ledger_.Leave(board_.serial, board_.flash, current_.shown.has_value());
    result_.devices.push_back(current_);
    report_.Device(current_);
    device_open_ = false;
  }
  stage_ = Stage::kFinished;
  result_.bytes_out = out_->BytesWritten();
  result_.out_digest = out_->OutDigest();
  result_.chunk_digest = out_->ChunkDigest();

  int completed = 0;
  const DeviceRecord* failed = nullptr;
  for (const auto& d : result_.devices) {
    if (d.result != "incomplete") {
      ++completed;
    }
    if (failed == nullptr && d.result != "ok" && d.result != "incomplete" && !options_.lenient) {
      failed = &d;
    }
  }
  const auto played = std::to_string(completed);
  result_.exit_code = 1;
  if (!fatal_.empty()) {
    result_.reason = fatal_;
  } else if (!result_.host_errors.empty() && !options_.lenient) {
    result_.reason = std::to_string(result_.host_errors.size()) +
                     " host error(s), first: " + result_.host_errors.front();
  } else if (failed != nullptr) {
    result_.reason = "device " + std::to_string(failed->number) + ": " + failed->result;
  } else if (options_.devices > 0 && completed < options_.devices) {
    result_.reason = (result_.hung_up ? "hung up after " : "stopped after ") + played + " of " +
                     std::to_string(options_.devices) + " devices";
  } else {
    result_.exit_code = 0;
    result_.reason = played + " device(s) written and read back" +
                     (result_.hung_up   ? ", then hung up"
                      : stop_requested_ ? ", then stopped"
                                        : "");
  }
  report_.End(Ms(), result_);
  pty_.Close();
  return result_;
}

}  // namespace pelorus::devsim
