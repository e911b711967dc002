#include "run/run.h"

#include <cctype>
#include <utility>

#include "serial/port_names.h"

namespace pelorus {

Run::Run(RunObserver& observer, std::unique_ptr<RunStation> station)
    : observer_(observer),
      station_(std::move(station)),
      fields_(*this),
      dialogue_(fields_, *this),
      thread_([this] { Main(); }) {
  comm_.SetNotifyWindow(this);
}

Run::~Run() {
  if (station_) {
    station_->Interrupt(/*for_good=*/true);
  }
  mailbox_.Stop();
  mailbox_.Post({Mailbox::Event::Kind::kQuit});
  thread_.join();
}

void Run::SetWaitFunction(WaitFunction wait) {
  std::lock_guard<std::mutex> lock(mutex_);
  wait_ = std::move(wait);
}

const std::string& Run::PoolName() const {
  static const std::string kNone;
  return station_ ? station_->Name() : kNone;
}

void Run::SetDevice(const std::string& device) {
  std::lock_guard<std::mutex> lock(mutex_);
  device_ = device;
}

void Run::SetTarget(const std::string& target) {
  std::lock_guard<std::mutex> lock(mutex_);
  target_ = target;
}

void Run::SetPortName(const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  port_name_ = name;
}

void Run::RequestStatus() {
  mailbox_.Post({Mailbox::Event::Kind::kStatus});
}

std::uint64_t Run::Start(const PortSettings& settings, const std::array<std::string, 6>& octets) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    settings_ = settings;
    octets_ = octets;
  }
  return mailbox_.Begin();
}

// The store step under way gives up too: whatever mark it carried goes to the station's
// journal, and the run's thread is free within moments.
void Run::Stop() {
  mailbox_.Stop();
  if (station_) {
    station_->Interrupt();
  }
}

void Run::StepByHand(int direction) {
  mailbox_.Post({Mailbox::Event::Kind::kStep, direction});
}

void Run::BannerClosed() {
  mailbox_.Post({Mailbox::Event::Kind::kBannerClosed});
}

void Run::Main() {
  for (;;) {
    const std::optional<Mailbox::Event> event = mailbox_.Next(0);
    switch (event->kind) {
      case Mailbox::Event::Kind::kQuit:
        return;
      case Mailbox::Event::Kind::kStart:
        RunOnce(static_cast<std::uint64_t>(event->value));
        break;
      case Mailbox::Event::Kind::kStatus:
        ReportStation();
        break;
      default:
        // News of a run that has ended: its port is closed, its banner gone.
        break;
    }
  }
}

void Run::RunOnce(std::uint64_t run) {
  run_ = run;
  ending_ = false;
  held_.clear();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (int k = 1; k <= 6; ++k) {
      fields_.Octet(k) = octets_[static_cast<std::size_t>(k - 1)];
    }
    run_settings_ = settings_;
    run_port_name_ = port_name_;
    comm_.SetTarget(target_);
    if (station_) {
      station_->SetDevice(device_);
      station_->Resume();
    }
  }
  shown_ = octets_;
  activity_ = {pool::StationActivity::kIdle, {}};
  attempts_.Reset();
  if ((!station_ || StartOnPool(run)) && !mailbox_.Stopped(run)) {
    if (OpenPort(false) != 1) {
      if (!mailbox_.Stopped(run)) {
        const std::string detail = OpenFailureDetail();
        Publish(pool::StationActivity::kFailed, PortName() + " would not open: " + detail);
        observer_.RunFailed(run,
                            run_port_name_.empty()
                                ? "COM" + std::to_string(run_settings_.port) +
                                      " is not ready... you must change com port"
                                : run_port_name_ + " (" + comm_.Target() + ") is not ready",
                            detail);
      }
    } else {
      port_open_ = true;
      dialogue_.Restart();
      Publish(pool::StationActivity::kWaitingForBoard);
      observer_.RunStarted(run, fields_.FormatAddressForLog());
      while (!ending_) {
        const std::optional<Mailbox::Event> event = NextEvent(run);
        if (!event) {
          break;
        }
        switch (event->kind) {
          case Mailbox::Event::Kind::kPortData:
            comm_.HandlePortData(static_cast<std::uint64_t>(event->value),
                                 [this](const char* bytes, int n) {
                                   dialogue_.OnPortData(bytes, static_cast<std::size_t>(n));
                                 });
            FlushLog();
            break;
          case Mailbox::Event::Kind::kPortLost:
            if (comm_.IsCurrent(static_cast<std::uint64_t>(event->value)) && !WaitForPort(run)) {
              ending_ = true;
            }
            break;
          case Mailbox::Event::Kind::kStep:
            StepNow(static_cast<int>(event->value));
            break;
          case Mailbox::Event::Kind::kStatus:
            ReportStation();
            break;
          case Mailbox::Event::Kind::kQuit:
            held_.push_back(*event);
            ending_ = true;
            break;
          default:
            break;
        }
        RecordFinishedAttempts();
      }
    }
  }
  comm_.Close();
  port_open_ = false;
  FlushLog();
  FinishAttempt(pool::AttemptOutcome::kNoReadBack);
  RecordFinishedAttempts();
  if (station_) {
    station_->Unclaim();
  }
  // A run that could not go on shows why until the station starts again.
  if (mailbox_.Stopped(run) || activity_.first != pool::StationActivity::kFailed) {
    Publish(pool::StationActivity::kIdle);
  }
  observer_.Status(RunObserver::StatusKind::kPort, {});
  if (station_ && !mailbox_.Stopped(run)) {
    observer_.PoolLine(station_->StatusLine());
  }
  // A quit that came during the run is the thread's to act on.
  for (const Mailbox::Event& event : held_) {
    if (event.kind == Mailbox::Event::Kind::kQuit) {
      mailbox_.Post(event);
    }
  }
  held_.clear();
  run_ = 0;
  mailbox_.Rearm();
  observer_.RunEnded(run);
}

std::optional<Mailbox::Event> Run::NextEvent(std::uint64_t run) {
  if (mailbox_.Stopped(run)) {
    return std::nullopt;
  }
  if (!held_.empty()) {
    const Mailbox::Event event = held_.front();
    held_.pop_front();
    return event;
  }
  return mailbox_.Next(run);
}

void Run::StepNow(int direction) {
  if (fields_.StepAddress(direction)) {
    return;
  }
  EndRun("The address " + std::string(direction > 0 ? "after" : "before") + " " +
             fields_.Joined(":") +
             " is a group (multicast) address, which no device may take. The run has stopped.",
         {});
}

void Run::EndRun(const std::string& text, const std::string& detail) {
  ending_ = true;
  Publish(pool::StationActivity::kFailed, text);
  FlushLog();
  observer_.Message(run_, RunObserver::MessageKind::kWarning, text, detail);
}

// The run's address as its view shows it: the octet boxes hold upper case, and what a load
// takes back is what they show, so the address command always carries upper-case hex, as it
// did when the dialogue read the boxes themselves.
void Run::LoadFields() {
  for (int k = 1; k <= 6; ++k) {
    fields_.Octet(k) = shown_[static_cast<std::size_t>(k - 1)];
  }
}

void Run::StoreFields() {
  std::array<std::string, 6> octets;
  for (int k = 1; k <= 6; ++k) {
    std::string octet = fields_.Octet(k);
    for (char& c : octet) {
      c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    octets[static_cast<std::size_t>(k - 1)] = std::move(octet);
  }
  if (octets != shown_) {
    shown_ = octets;
    FlushLog();
    observer_.Address(run_, octets);
  }
}

// The dialogue logs a line before it answers it. The view's log may follow a moment later, so
// the bytes go to it once the answer is out, or whenever the run waits (a timed wait, a store
// step, the banner) or the chunk is done: waking the view's thread costs the device nothing.
void Run::AppendLog(const char* bytes, std::size_t count) {
  log_.append(bytes, count);
  if (station_) {
    attempts_.FromDevice(bytes, count);
  }
}

void Run::FlushLog() {
  if (!log_.empty()) {
    observer_.Log(log_);
    log_.clear();
  }
}

void Run::Note(const std::string& note) {
  FlushLog();
  observer_.LogNote(note);
}

void Run::Write(std::size_t count, const char* bytes) {
  // Once the run is stopped, not one more byte goes to the device.
  if (!ending_ && !mailbox_.Stopped(run_)) {
    comm_.Write(count, bytes);
    if (station_) {
      attempts_.ToDevice(bytes, count);
    }
  }
}

// The banner is the view's; the run holds its chunk until the view says it was closed. News
// that comes meanwhile waits for the chunk's end.
void Run::DoModal() {
  if (mailbox_.Stopped(run_)) {
    return;
  }
  FlushLog();
  observer_.Banner(run_, banner_text_);
  while (const std::optional<Mailbox::Event> event = mailbox_.Next(run_)) {
    if (event->kind == Mailbox::Event::Kind::kBannerClosed) {
      return;
    }
    held_.push_back(*event);
  }
}

// A wait counts from the moment the dialogue asks for it: what the run does meanwhile (a store
// step, an attempt put on record) costs the device nothing as long as it fits in the wait.
void Run::BeginWait(std::chrono::milliseconds duration) {
  wait_from_ = Mailbox::Clock::now();
  wait_duration_ = duration;
  FlushLog();
}

bool Run::EndWait() {
  RecordFinishedAttempts();
  WaitFunction wait;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    wait = wait_;
  }
  if (wait) {
    if (mailbox_.Stopped(run_)) {
      return false;
    }
    wait(wait_duration_);
    return !mailbox_.Stopped(run_);
  }
  return mailbox_.SleepUntil(run_, wait_from_ + wait_duration_);
}

void Run::StopRun(const std::string& reason) {
  EndRun(reason, {});
}

void Run::SetOctets(Mac48 address) {
  const std::string text = FormatMac48(address);
  for (int k = 1; k <= 6; ++k) {
    fields_.Octet(k) = text.substr(static_cast<std::size_t>(3 * (k - 1)), 2);
  }
}

// "COM1" ... "COM5" or "TELNET", or the name the port was given: the port as the operator and
// the record know it.
std::string Run::PortName() const {
  return run_port_name_.empty() ? ShortPortName(comm_.PortName()) : run_port_name_;
}

}  // namespace pelorus
