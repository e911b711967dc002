#include "run/run_station.h"

#include <unistd.h>

#include <utility>

#include "pool/transcript.h"
#include "serial/port_inventory.h"
#include "serial/port_names.h"

namespace pelorus {
namespace {

// 1234567 as "1,234,567".
std::string Grouped(std::uint64_t n) {
  std::string digits = std::to_string(n);
  for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3) {
    digits.insert(static_cast<std::size_t>(at), ",");
  }
  return digits;
}

std::string HostName() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0) {
    return "localhost";
  }
  return name;
}

}  // namespace

std::unique_ptr<RunStation> RunStation::Open(const Config& config, std::string* error) {
  std::unique_ptr<RunStation> station(new RunStation(config));
  const std::string first = PortNameFor(1);
  station->SetDevice(PortInventory().StableName(DevicePathFor(first), ShortPortName(first)));
  if (station->Current(error) == nullptr) {
    return nullptr;
  }
  return station;
}

RunStation::RunStation(Config config) : config_(std::move(config)), host_(HostName()) {}

RunStation::~RunStation() = default;

void RunStation::SetDevice(const std::string& device) {
  station_name_ = config_.station.empty() ? host_ + ":" + device : config_.station;
}

pool::Station* RunStation::Current(std::string* error) {
  if (!station_ || station_->StationName() != station_name_) {
    {
      std::lock_guard<std::mutex> lock(interrupt_mutex_);
      station_.reset();
    }
    board_.reset();
    auto opened =
        pool::Station::Open({config_.location, config_.name, station_name_, std::string()}, error);
    if (!opened) {
      return nullptr;
    }
    {
      std::lock_guard<std::mutex> lock(interrupt_mutex_);
      station_ = std::move(opened);
      if (interrupted_) {
        station_->Interrupt();
      }
    }
    std::string path = pool::StationJournal::PathFor(config_.location, config_.name, station_name_);
    path.replace(path.rfind(".journal"), std::string::npos, ".board");
    board_ = std::make_unique<pool::StationJournal>(path);
  }
  return station_.get();
}

RunStation::Answer RunStation::Claim(std::vector<std::string>* notes,
                                     std::vector<std::string>* unannounced, std::string* error) {
  pool::Station* station = Current(error);
  if (station == nullptr) {
    return Answer::kUnavailable;
  }
  if (const Answer claimed = station->Claim(error, notes); claimed != Answer::kDone) {
    return claimed;
  }
  std::vector<pool::JournalMark> marks;
  std::string unread;
  board_->Read(&marks, &unread);
  if (marks.empty()) {
    return Answer::kDone;
  }
  const pool::JournalMark& last = marks.back();
  if (last.kind == pool::JournalMark::Kind::kVerified) {
    unannounced->push_back(FormatMac48(last.address) + " (verified at " + last.at + ")");
  } else {
    const std::size_t cut = last.detail.find('\n');
    pool::Attempt attempt;
    attempt.port = last.detail.substr(0, cut);
    attempt.code_at = cut == std::string::npos ? "" : last.detail.substr(cut + 1);
    attempt.address = last.address;
    attempt.outcome = pool::AttemptOutcome::kWindowEnded;
    attempt.written_at = last.at;
    attempt.ended_at = last.at;
    if (station->RecordAttempt(attempt, pool::Transcript().Encode(), error) ==
        Answer::kUnavailable) {
      return Answer::kUnavailable;
    }
  }
  return board_->Clear(error) ? Answer::kDone : Answer::kUnavailable;
}

void RunStation::Interrupt(bool for_good) {
  std::lock_guard<std::mutex> lock(interrupt_mutex_);
  interrupted_ = true;
  for_good_ = for_good_ || for_good;
  if (station_) {
    station_->Interrupt();
  }
}

void RunStation::Resume() {
  std::lock_guard<std::mutex> lock(interrupt_mutex_);
  if (for_good_) {
    return;
  }
  interrupted_ = false;
  if (station_) {
    station_->Resume();
  }
}

void RunStation::Unclaim() {
  if (station_) {
    station_->Unclaim();
  }
}

RunStation::Answer RunStation::Lease(Mac48* address, std::string* error) {
  pool::Station* station = Current(error);
  if (station == nullptr) {
    return Answer::kUnavailable;
  }
  const Answer answer = station->Lease(&leased_, error);
  writing_ = false;
  *address = leased_.address;
  return answer;
}

RunStation::Answer RunStation::LeaseAndMarkWritten(Mac48* address, const std::string& port,
                                                   const std::string& code_at, std::string* error) {
  pool::Station* station = Current(error);
  if (station == nullptr) {
    return Answer::kUnavailable;
  }
  if (!writing_) {
    if (const Answer leased = station->Lease(&leased_, error); leased != Answer::kDone) {
      return leased;
    }
    writing_ = true;
  }
  *address = leased_.address;
  const Answer written = station->MarkWritten(leased_, port, error);
  if (written == Answer::kUnavailable) {
    return written;
  }
  writing_ = false;
  if (written == Answer::kRefused) {
    return written;
  }
  std::string unwritten;
  board_->Clear(&unwritten);
  board_->Append({pool::JournalMark::Kind::kWritten, leased_.address, port + "\n" + code_at,
                  pool::UtcNowText(), leased_.token},
                 &unwritten);
  return Answer::kDone;
}

RunStation::Answer RunStation::MarkVerified(Mac48 address, const std::string& line, bool* journaled,
                                            std::string* error) {
  *journaled = false;
  pool::Station* station = Current(error);
  if (station == nullptr) {
    return Answer::kUnavailable;
  }
  const pool::LeasedAddress leased =
      leased_.address == address ? leased_ : pool::LeasedAddress{address, std::string()};
  const pool::Station::Verification outcome = station->MarkVerified(leased, line, error);
  switch (outcome) {
    case pool::Station::Verification::kRefused: {
      // The board showed its address all the same. When the refusal is the station's claim,
      // taken by another holder while this one's connection was cut, the mark is the
      // station's and must not be lost: it waits in the journal for the claim's holder.
      std::string why;
      if (station->Claim(&why) != Answer::kRefused || !station->Journal(leased, line, &why)) {
        return Answer::kRefused;
      }
      *journaled = true;
      break;
    }
    case pool::Station::Verification::kFailed:
      return Answer::kUnavailable;
    case pool::Station::Verification::kJournaled:
      *journaled = true;
      break;
    case pool::Station::Verification::kOnRecord:
      break;
  }
  // A run that ends from here until the banner is closed leaves a board that the operator
  // cannot tell from one still to do; the station's next claim says so.
  std::string unwritten;
  board_->Append(
      {pool::JournalMark::Kind::kVerified, address, line, pool::UtcNowText(), leased.token},
      &unwritten);
  ++verified_;
  return Answer::kDone;
}

void RunStation::Announced() {
  std::string ignored;
  if (board_) {
    board_->Clear(&ignored);
  }
}

std::int64_t RunStation::RecordAttempt(const AttemptRecorder::Finished& finished) {
  std::string error;
  pool::Station* station = Current(&error);
  if (station == nullptr) {
    return 0;
  }
  std::int64_t id = 0;
  station->RecordAttempt(finished.attempt, finished.transcript.Encode(), &error, &id);
  // A verified board stays in hand until its banner is closed.
  if (finished.attempt.outcome != pool::AttemptOutcome::kVerified) {
    board_->Clear(&error);
  }
  return id;
}

void RunStation::Publish(pool::StationActivity activity, const std::string& detail) {
  if (!config_.publisher) {
    return;
  }
  auto state = std::make_pair(activity, detail);
  if (published_ == state && published_station_ == station_name_) {
    return;
  }
  published_ = state;
  published_station_ = station_name_;
  pool::StationState published;
  published.station = station_name_;
  published.activity = activity;
  published.detail = detail;
  published.since = pool::UtcNowText();
  config_.publisher->Publish(published);
}

std::optional<Mac48> RunStation::Current() {
  std::string error;
  std::optional<Mac48> address;
  pool::Station* station = Current(&error);
  if (station == nullptr || station->Current(&address, &error) != Answer::kDone) {
    return std::nullopt;
  }
  return address;
}

std::string RunStation::StatusLine() {
  const std::string tail =
      " · station " + station_name_ + " · this station " + std::to_string(verified_);
  std::string error;
  pool::PoolStatus status;
  pool::Station* station = Current(&error);
  return station != nullptr && station->Status(&status, &error) == Answer::kDone
             ? "pool " + config_.name + ": " + Grouped(status.issued) + " / " +
                   Grouped(status.total) + " used" + tail
             : "pool " + config_.name + ": not reachable" + tail;
}

}  // namespace pelorus
