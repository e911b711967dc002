#include "tools/station/rack_port.h"

#include "pool/station_state.h"
#include "tools/pool/json_text.h"

namespace pelorus {
namespace {

// The window's default port settings: 115200 bits per second, 8 data bits, no parity, one stop
// bit, no flow control.
PortSettings RackPortSettings() {
  PortSettings settings{};
  settings.port = 1;
  settings.dataBits = 8;
  settings.baudRate = 115200;
  return settings;
}

std::string Field(const char* name, const std::string& value) {
  return std::string("\"") + name + "\":" + pool::JsonText(value);
}

}  // namespace

RackPort::RackPort(const RackConfig::Port& port, std::unique_ptr<RunStation> station,
                   EventSink& sink, std::function<void(RackPort&)> ended)
    : port_(port),
      sink_(sink),
      ended_(std::move(ended)),
      run_(std::make_unique<Run>(static_cast<RunObserver&>(*this), std::move(station))),
      run_itself_(run_.get()) {
  run_->SetTarget(port_.device);
  run_->SetDevice(port_.device);
  run_->SetPortName(port_.name);
}

RackPort::~RackPort() {
  Finish();
}

void RackPort::Finish() {
  run_.reset();
}

void RackPort::Start() {
  if (!run_) {
    return;
  }
  started_ = false;
  run_->Start(RackPortSettings(), {"00", "00", "00", "00", "00", "00"});
}

void RackPort::Stop() {
  if (run_) {
    run_->Stop();
  }
}

void RackPort::Say(EventSink::Tone tone, const std::string& text) {
  sink_.Log(tone, pool::UtcNowText() + " " + port_.name + ": " + text);
}

void RackPort::RunStarted(std::uint64_t, const std::string&) {
  started_ = true;
  Say(EventSink::Tone::kPlain, "waiting for a board on " + port_.device);
}

void RackPort::RunFailed(std::uint64_t, const std::string& text, const std::string& detail) {
  Say(EventSink::Tone::kWarning, text + (detail.empty() ? "" : ": " + detail));
}

void RackPort::RunEnded(std::uint64_t) {
  ended_(*this);
}

void RackPort::LogNote(const std::string& note) {
  Say(EventSink::Tone::kPlain, note);
}

// No one is at the port to close a banner: the board is on record, and the next one may come.
void RackPort::Banner(std::uint64_t, const std::string&) {
  run_itself_->BannerClosed();
}

void RackPort::Message(std::uint64_t, MessageKind kind, const std::string& text,
                       const std::string& detail) {
  Say(kind == MessageKind::kWarning ? EventSink::Tone::kWarning : EventSink::Tone::kPlain,
      text + (detail.empty() ? "" : " (" + detail + ")"));
}

// A wait that ends is news for the port, not for the store: the step the store was waited for
// tells of itself.
void RackPort::Status(StatusKind kind, const std::string& text) {
  if (!text.empty()) {
    port_lost_ = port_lost_ || kind == StatusKind::kPort;
    Say(EventSink::Tone::kWarning, text);
  } else if (kind == StatusKind::kPort && port_lost_) {
    port_lost_ = false;
    // The wait also ends with the run, the port closed.
    if (run_itself_->IsPortOpen()) {
      Say(EventSink::Tone::kPlain, "back on " + port_.device);
    }
  }
}

void RackPort::AttemptRecorded(std::uint64_t, const pool::Attempt& attempt) {
  const bool verified = attempt.outcome == pool::AttemptOutcome::kVerified;
  (verified ? verified_ : failed_)++;
  const std::string address = attempt.address ? FormatMac48(*attempt.address) : std::string();
  const std::string outcome = pool::OutcomeName(attempt.outcome);
  sink_.Event("{" + Field("time", pool::UtcNowText()) + "," + Field("station", attempt.station) +
              "," + Field("port", port_.name) + "," + Field("device", port_.device) + "," +
              Field("address", address) + "," + Field("outcome", outcome) + "," +
              Field("code_at", attempt.code_at) + "," + Field("written_at", attempt.written_at) +
              "," + Field("readback_sent_at", attempt.readback_sent_at) + "," +
              Field("matched_at", attempt.matched_at) + "," + Field("ended_at", attempt.ended_at) +
              ",\"id\":" + std::to_string(attempt.id) + "}");
  Say(verified ? EventSink::Tone::kGood : EventSink::Tone::kBad,
      (address.empty() ? "board" : address) + " " + outcome +
          (attempt.id != 0 ? " (attempt " + std::to_string(attempt.id) + ")"
                           : " (in the station's journal)"));
}

}  // namespace pelorus
