// A run's dealings with the address pool, where one is configured: the claim and the lease
// that start a run, the written and verified marks, the next lease, each board's attempt, and
// a store that does not answer waited for.
#include <algorithm>
#include <ctime>

#include "run/run.h"
#include "serial/port_names.h"

namespace pelorus {
namespace {

constexpr std::chrono::milliseconds kFirstRetry{250};
constexpr std::chrono::milliseconds kLongestRetry{2000};

// Now, local time, as the operator reads a clock: "14:03:27".
std::string ClockTime() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char text[16];
  std::strftime(text, sizeof text, "%H:%M:%S", &local);
  return text;
}

}  // namespace

void Run::ReportStation() {
  if (!station_) {
    return;
  }
  if (run_ == 0) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      station_->SetDevice(device_);
    }
    // A stop of the run before left the store's steps interrupted.
    station_->Resume();
    observer_.StationAddress(station_->Current());
  }
  observer_.PoolLine(station_->StatusLine());
}

RunStation::Answer Run::UntilAnswered(const std::function<RunStation::Answer(std::string*)>& step,
                                      std::string* error) {
  FlushLog();
  std::chrono::milliseconds pause = kFirstRetry;
  for (bool waited = false;; waited = true) {
    const RunStation::Answer answer = step(error);
    if (answer != RunStation::Answer::kUnavailable) {
      if (waited) {
        station_->Publish(activity_.first, activity_.second);
      }
      observer_.Status(RunObserver::StatusKind::kStore, {});
      return answer;
    }
    station_->Publish(pool::StationActivity::kWaitingForStore, *error);
    observer_.Status(
        RunObserver::StatusKind::kStore,
        "pool " + station_->Name() + " does not answer (" + *error + "): waiting for it...");
    if (!mailbox_.SleepUntil(run_, Mailbox::Clock::now() + pause)) {
      return RunStation::Answer::kUnavailable;
    }
    pause = std::min(pause * 2, kLongestRetry);
  }
}

// Before the port opens: the station is this run's, and the run has its address, or nothing
// is answered at all.
bool Run::StartOnPool(std::uint64_t run) {
  std::vector<std::string> notes;
  std::vector<std::string> unannounced;
  std::string error;
  RunStation::Answer answer = UntilAnswered(
      [&](std::string* why) {
        notes.clear();
        unannounced.clear();
        return station_->Claim(&notes, &unannounced, why);
      },
      &error);
  for (const std::string& note : notes) {
    Note(note);
  }
  for (const std::string& board : unannounced) {
    Note(board + ": done, its banner was never closed");
    observer_.Message(run, RunObserver::MessageKind::kInformation,
                      "The board with " + board +
                          " was written and verified, but PELORUS ended before its banner was "
                          "closed. That board is done: take it off the bench and do not run it "
                          "again.",
                      {});
  }
  Mac48 address = 0;
  if (answer == RunStation::Answer::kDone) {
    answer =
        UntilAnswered([&](std::string* why) { return station_->Lease(&address, why); }, &error);
  }
  if (answer == RunStation::Answer::kDone) {
    SetOctets(address);
    StoreFields();
    observer_.PoolLine(station_->StatusLine());
    return true;
  }
  if (answer == RunStation::Answer::kRefused) {
    observer_.RunFailed(run,
                        "Pool " + station_->Name() + " gives station " + station_->Station() +
                            " no address: the run cannot start.",
                        error);
  }
  return false;
}

// No address goes into a device without being on record: the mark is durable before the
// command leaves, or the command does not leave. An address that went into a board before
// and was never confirmed is spent: the station leases a new one, and the shown one is held
// back.
bool Run::AboutToWrite(const std::string& address) {
  if (!station_) {
    return true;
  }
  std::string error;
  Mac48 written = 0;
  const std::string port = PortName() + " " + comm_.Target();
  const RunStation::Answer answer = UntilAnswered(
      [&](std::string* why) {
        return station_->LeaseAndMarkWritten(&written, port, attempts_.CodeAt(), why);
      },
      &error);
  if (answer == RunStation::Answer::kDone) {
    const auto shown = ParseMac48(address);
    if (shown != written) {
      const std::string at = written_ && written_->first == shown ? " at " + written_->second : "";
      Note(address + " held back: written" + at + ", never confirmed");
      SetOctets(written);
      StoreFields();
      observer_.PoolLine(station_->StatusLine());
    }
    written_ = std::make_pair(written, ClockTime());
    attempts_.Writing(written, port);
    return true;
  }
  if (answer == RunStation::Answer::kRefused) {
    EndRun(address + " could not be put on record in pool " + station_->Name() +
               ", so it was not written into the device. The run has stopped.",
           error);
  }
  return false;
}

// The read-back matched: the board holds its address whatever comes next. The mark goes on
// record, or into the journal, and the attempt ends verified, even when the run is stopped
// meanwhile; only the banner is then left to the station's next start.
bool Run::Verified(const std::string& address, const std::string& line) {
  if (!station_) {
    return true;
  }
  const auto parsed = ParseMac48(address);
  std::string error = "the address is not one of the pool's";
  bool journaled = false;
  const RunStation::Answer answer =
      parsed ? UntilAnswered(
                   [&](std::string* why) {
                     return station_->MarkVerified(*parsed, line, &journaled, why);
                   },
                   &error)
             : RunStation::Answer::kRefused;
  if (answer == RunStation::Answer::kDone) {
    written_.reset();
    FinishAttempt(pool::AttemptOutcome::kVerified);
    Publish(pool::StationActivity::kVerified, FormatMac48(*parsed));
    if (journaled) {
      Note(address + " verified; kept in the station's journal until pool " + station_->Name() +
           " answers (" + error + ")");
    }
    observer_.PoolLine(station_->StatusLine());
    return !mailbox_.Stopped(run_);
  }
  if (answer == RunStation::Answer::kRefused) {
    EndRun("The device shows " + address + ", but pool " + station_->Name() +
               " could not record it as verified. The run has stopped.",
           error);
  }
  return false;
}

DialogueSurroundings::NextAddress Run::TakeNextAddress() {
  if (!station_) {
    return NextAddress::kStep;
  }
  station_->Announced();
  Mac48 address = 0;
  std::string error;
  const RunStation::Answer answer =
      UntilAnswered([&](std::string* why) { return station_->Lease(&address, why); }, &error);
  if (answer == RunStation::Answer::kDone) {
    SetOctets(address);
    observer_.PoolLine(station_->StatusLine());
    return NextAddress::kTaken;
  }
  if (answer == RunStation::Answer::kRefused) {
    EndRun("Pool " + station_->Name() + " gives no next address. The run has stopped.", error);
  }
  return NextAddress::kNone;
}

void Run::Noted(Step step) {
  if (!station_) {
    return;
  }
  switch (step) {
    case Step::kCodeAnswered: {
      std::optional<AttemptRecorder::Finished> ended;
      attempts_.Begin(&ended);
      if (ended) {
        finished_.push_back(std::move(*ended));
      }
      Publish(pool::StationActivity::kWriting);
      break;
    }
    case Step::kAddressSent:
      attempts_.AddressSent();
      break;
    case Step::kReadBackSent:
      attempts_.ReadBackSent();
      Publish(pool::StationActivity::kVerifying);
      break;
    case Step::kWrongReadBack:
      FinishAttempt(pool::AttemptOutcome::kWrongReadBack);
      Publish(pool::StationActivity::kFailed, "wrong read-back");
      break;
  }
}

void Run::Publish(pool::StationActivity activity, const std::string& detail) {
  if (station_) {
    activity_ = {activity, detail};
    station_->Publish(activity, detail);
  }
}

void Run::FinishAttempt(pool::AttemptOutcome outcome) {
  if (!station_) {
    return;
  }
  if (auto finished = attempts_.End(outcome)) {
    finished_.push_back(std::move(*finished));
  }
}

// Attempts go on record at a quiet moment: inside one of the dialogue's waits or between
// chunks, never between a line and its answer.
void Run::RecordFinishedAttempts() {
  while (!finished_.empty()) {
    pool::Attempt attempt = finished_.front().attempt;
    attempt.pool = station_->Name();
    attempt.station = station_->Station();
    attempt.id = station_->RecordAttempt(finished_.front());
    finished_.pop_front();
    observer_.AttemptRecorded(run_, attempt);
  }
}

}  // namespace pelorus
