#include "ui/pool_station.h"

#include <QEventLoop>
#include <QSysInfo>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <utility>

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

constexpr std::chrono::milliseconds kFirstRetry{250};
constexpr std::chrono::milliseconds kLongestRetry{2000};

}  // namespace

// What a step left for the window's thread; written on the store's thread before the answer
// is posted, read on the window's after it arrived.
struct PoolStation::Call {
  bool ok = false;
  bool refused = false;
  std::string error;
};

std::unique_ptr<PoolStation> PoolStation::Open(const Config& config, std::string* error) {
  std::unique_ptr<PoolStation> station(new PoolStation(config));
  const std::string first = PortNameFor(1);
  station->station_name_ =
      station->NameFor(PortInventory().StableName(DevicePathFor(first), ShortPortName(first)));
  // No job runs yet: the store's thread takes the station over from here.
  if (station->StationFor(station->station_name_, error) == nullptr) {
    return nullptr;
  }
  return station;
}

PoolStation::PoolStation(Config config)
    : config_(std::move(config)), host_(QSysInfo::machineHostName().toStdString()) {}

PoolStation::~PoolStation() = default;

std::string PoolStation::NameFor(const std::string& device) const {
  return config_.station.empty() ? host_ + ":" + device : config_.station;
}

void PoolStation::SetDevice(const std::string& device) {
  station_name_ = NameFor(device);
}

pool::Station* PoolStation::StationFor(const std::string& name, std::string* error) {
  if (!station_ || station_->StationName() != name) {
    station_.reset();
    station_ = pool::Station::Open({config_.location, config_.name, name, std::string()}, error);
    std::string path = pool::StationJournal::PathFor(config_.location, config_.name, name);
    path.replace(path.rfind(".journal"), std::string::npos, ".board");
    board_ = std::make_unique<pool::StationJournal>(path);
  }
  return station_.get();
}

PoolStation::Answer PoolStation::Wait(std::function<bool(pool::Station&, std::string*)> step,
                                      std::string* error) {
  auto call = std::make_shared<Call>();
  const std::uint64_t id = ++calls_;
  worker_.Post([this, call, id, name = station_name_, step = std::move(step)] {
    pool::Station* station = StationFor(name, &call->error);
    call->ok = station != nullptr && step(*station, &call->error);
    call->refused = !call->ok && station != nullptr && station->Refused();
    QMetaObject::invokeMethod(
        this,
        [this, id] {
          if (loop_ != nullptr && id == calls_) {
            loop_->quit();
          }
        },
        Qt::QueuedConnection);
  });
  QEventLoop loop;
  loop_ = &loop;
  cancelled_ = false;
  loop.exec();
  loop_ = nullptr;
  if (cancelled_) {
    return Answer::kCancelled;
  }
  *error = call->error;
  return call->ok ? Answer::kDone : call->refused ? Answer::kRefused : Answer::kFailed;
}

void PoolStation::CancelWait() {
  if (loop_ != nullptr) {
    cancelled_ = true;
    loop_->quit();
  }
}

PoolStation::Answer PoolStation::Claim(std::vector<std::string>* notes,
                                       std::vector<std::string>* unannounced, std::string* error) {
  return Wait(
      [this, notes, unannounced](pool::Station& station, std::string* why) {
        if (!station.Claim(why, notes)) {
          return false;
        }
        std::vector<pool::JournalMark> marks;
        std::string unread;
        board_->Read(&marks, &unread);
        if (marks.empty()) {
          return true;
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
          if (!station.RecordAttempt(attempt, pool::Transcript().Encode(), why) &&
              !station.Refused()) {
            return false;
          }
        }
        return board_->Clear(why);
      },
      error);
}

void PoolStation::RecordAttempt(AttemptRecorder::Finished finished) {
  auto shared = std::make_shared<AttemptRecorder::Finished>(std::move(finished));
  worker_.Post([this, shared, name = station_name_] {
    std::string error;
    pool::Station* station = StationFor(name, &error);
    if (station == nullptr) {
      return;
    }
    station->RecordAttempt(shared->attempt, shared->transcript.Encode(), &error);
    // A verified board stays in hand until its banner is closed.
    if (shared->attempt.outcome != pool::AttemptOutcome::kVerified) {
      board_->Clear(&error);
    }
  });
}

void PoolStation::Announced() {
  worker_.Post([this] {
    std::string ignored;
    if (board_) {
      board_->Clear(&ignored);
    }
  });
}

void PoolStation::Unclaim() {
  worker_.Post([this] {
    if (station_) {
      station_->Unclaim();
    }
  });
}

PoolStation::Answer PoolStation::Lease(Mac48* address, std::string* error) {
  return Wait(
      [address](pool::Station& station, std::string* why) { return station.Lease(address, why); },
      error);
}

PoolStation::Answer PoolStation::LeaseAndMarkWritten(Mac48* address, const std::string& port,
                                                     const std::string& code_at,
                                                     std::string* error) {
  auto leased = std::make_shared<Mac48>(0);
  const Answer answer = Wait(
      [this, leased, port, code_at](pool::Station& station, std::string* why) {
        if (!station.Lease(leased.get(), why) || !station.MarkWritten(*leased, port, why)) {
          return false;
        }
        std::string unwritten;
        board_->Clear(&unwritten);
        board_->Append({pool::JournalMark::Kind::kWritten, *leased, port + "\n" + code_at,
                        AttemptRecorder::Now()},
                       &unwritten);
        return true;
      },
      error);
  *address = *leased;
  return answer;
}

PoolStation::Answer PoolStation::MarkVerified(Mac48 address, const std::string& line,
                                              bool* journaled, std::string* error) {
  auto outcome = std::make_shared<pool::Station::Verification>();
  const Answer answer = Wait(
      [this, address, line, outcome](pool::Station& station, std::string* why) {
        *outcome = station.MarkVerified(address, line, why);
        if (*outcome != pool::Station::Verification::kOnRecord &&
            *outcome != pool::Station::Verification::kJournaled) {
          return false;
        }
        // A window that ends from here until the banner is closed leaves a board that the
        // operator cannot tell from one still to do; the next window of the station says so.
        std::string unwritten;
        board_->Append({pool::JournalMark::Kind::kVerified, address, line, AttemptRecorder::Now()},
                       &unwritten);
        return true;
      },
      error);
  *journaled = answer == Answer::kDone && *outcome == pool::Station::Verification::kJournaled;
  if (answer == Answer::kDone) {
    ++verified_;
  }
  return answer;
}

PoolStation::Answer PoolStation::UntilAnswered(
    const std::function<Answer(std::string*)>& step,
    const std::function<void(const std::string&)>& waiting) {
  std::chrono::milliseconds pause = kFirstRetry;
  for (;;) {
    std::string error;
    const Answer answer = step(&error);
    if (answer != Answer::kFailed) {
      return answer;
    }
    waiting(error);
    QEventLoop loop;
    loop_ = &loop;
    cancelled_ = false;
    QTimer::singleShot(pause, &loop, &QEventLoop::quit);
    loop.exec();
    loop_ = nullptr;
    if (cancelled_) {
      return Answer::kCancelled;
    }
    pause = std::min(pause * 2, kLongestRetry);
  }
}

void PoolStation::RequestCurrent(std::function<void(std::optional<Mac48>)> done) {
  worker_.Post([this, name = station_name_, done = std::move(done)] {
    std::string error;
    std::optional<Mac48> address;
    pool::Station* station = StationFor(name, &error);
    if (station == nullptr || !station->Current(&address, &error)) {
      address.reset();
    }
    QMetaObject::invokeMethod(
        this, [done, address] { done(address); }, Qt::QueuedConnection);
  });
}

void PoolStation::RequestStatusLine(std::function<void(const std::string&)> done) {
  const std::string tail =
      " · station " + station_name_ + " · this station " + std::to_string(verified_);
  worker_.Post([this, name = station_name_, tail, done = std::move(done)] {
    std::string error;
    pool::PoolStatus status;
    pool::Station* station = StationFor(name, &error);
    const std::string line = station != nullptr && station->Status(&status, &error)
                                 ? "pool " + config_.name + ": " + Grouped(status.issued) + " / " +
                                       Grouped(status.total) + " used" + tail
                                 : "pool " + config_.name + ": not reachable" + tail;
    QMetaObject::invokeMethod(
        this, [done, line] { done(line); }, Qt::QueuedConnection);
  });
}

}  // namespace pelorus
