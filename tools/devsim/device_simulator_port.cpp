// The port's life: plugged in by Open, hung up for good at the end, or with --replug pulled
// out and plugged back in as a new pseudo-terminal behind the same link.
#include <cerrno>
#include <cstring>

#include "device_simulator.h"

namespace pelorus::devsim {

bool DeviceSimulator::Open(std::string* error) {
  if (stop_fd_ < 0) {
    *error = std::string("eventfd: ") + std::strerror(errno);
    return false;
  }
  if (!PlugIn(error) || !report_.Open(options_.report_path, options_.console_output, error) ||
      !ledger_.Open(options_.ledger_path, error)) {
    pty_.Close();
    open_watch_ = -1;
    return false;
  }
  OutputQueue::Pacing pacing;
  pacing.byte_delay = options_.byte_delay;
  pacing.chunking = options_.chunking;
  pacing.chunk = options_.chunk;
  pacing.gap_ms = options_.gap_ms;
  pacing.seed = options_.seed ^ 0x9E3779B97F4A7C15ULL;
  out_ = std::make_unique<OutputQueue>(pty_.master(), pacing);
  flood_ = text_.Flood(options_.flood_bytes);
  return true;
}

void DeviceSimulator::SetReplugListener(std::function<void(const std::string&)> listener) {
  replug_listener_ = std::move(listener);
}

// The watch on the host's open comes before the link: a host that opens the link the moment
// it appears must not be missed.
bool DeviceSimulator::PlugIn(std::string* error) {
  open_watch_ = -1;
  if (!pty_.Open(error) || (options_.wait_open && (open_watch_ = pty_.WatchOpens(error)) < 0) ||
      (!options_.link_path.empty() && !pty_.Link(options_.link_path, error))) {
    pty_.Close();
    open_watch_ = -1;
    return false;
  }
  return true;
}

void DeviceSimulator::HangUp() {
  report_.Event(JsonLine("hangup").AddMs("t_ms", Ms()));
  out_->Stop();
  pty_.Close();
  result_.hung_up = true;
  stage_ = Stage::kFinished;
}

// Like a hang-up to the host, but the devices wait on the bench for the port to come back.
void DeviceSimulator::Unplug() {
  report_.Event(JsonLine("unplug")
                    .AddMs("t_ms", Ms())
                    .Add("after_device", static_cast<int>(result_.devices.size()))
                    .Add("away_ms", static_cast<long long>(options_.away.count())));
  out_->Stop();
  pty_.Close();
  open_watch_ = -1;
  ++result_.unplugs;
  stage_ = Stage::kUnplugged;
  replug_deadline_ = Clock::now() + options_.away;
}

void DeviceSimulator::Replug() {
  std::string error;
  if (!PlugIn(&error)) {
    fatal_ = "plugging the port back in: " + error;
    stage_ = Stage::kFinished;
    return;
  }
  // What the old port printed died with it: no late answer to its CODE lines can come.
  interrupts_ = code_lines_;
  stage_ = Stage::kPowerOff;
  out_->Resume(pty_.master());
  report_.Event(JsonLine("replug")
                    .AddMs("t_ms", Ms())
                    .Add("pty", pty_.slave_path())
                    .Add("link", options_.link_path));
  if (replug_listener_) {
    replug_listener_(pty_.slave_path());
  }
  if (open_watch_ < 0) {
    PowerOn(true);
  }
}

}  // namespace pelorus::devsim
