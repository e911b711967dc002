#include "pool/station.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <system_error>

namespace pelorus::pool {
namespace {

// Now, UTC, ISO 8601 with milliseconds: the form the store keeps its times in.
std::string UtcNow() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[40];
  const std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
  std::snprintf(text + length, sizeof text - length, ".%03dZ", static_cast<int>(ms));
  return text;
}

std::string Describe(const JournalMark& mark) {
  return std::string(mark.kind == JournalMark::Kind::kWritten ? "written " : "verified ") +
         FormatMac48(mark.address) + " (" + (mark.at.empty() ? "no time" : mark.at) + ")";
}

// Every step looks at the journal first; an empty or missing file is the usual case and
// costs one stat.
bool JournalEmpty(const std::string& path) {
  std::error_code error;
  const auto size = std::filesystem::file_size(path, error);
  return error ? error == std::errc::no_such_file_or_directory : size == 0;
}

}  // namespace

std::unique_ptr<Station> Station::Open(const Config& config, std::string* error) {
  if (config.station.empty()) {
    *error = "no station name given";
    return nullptr;
  }
  auto pool = AddressPool::Open(config.location, false, error);
  if (!pool) {
    return nullptr;
  }
  // A store that does not answer now may answer at the next step, and a verified mark must
  // still find its journal: only a pool that is not there stops the station.
  PoolStatus status;
  std::string why;
  if (!pool->Status(config.name, &status, &why) && pool->Refused()) {
    *error = why;
    return nullptr;
  }
  Config opened = config;
  if (opened.journal_path.empty()) {
    opened.journal_path = StationJournal::PathFor(config.location, config.name, config.station);
  }
  return std::unique_ptr<Station>(new Station(std::move(opened), std::move(pool)));
}

Station::Station(Config config, std::unique_ptr<AddressPool> pool)
    : config_(std::move(config)), pool_(std::move(pool)), journal_(config_.journal_path) {}

bool Station::Claim(std::string* error, std::vector<std::string>* notes) {
  refused_ = false;
  if (!pool_->Claim(config_.name, config_.station, error)) {
    refused_ = pool_->Refused();
    return false;
  }
  return Replay(error, notes);
}

void Station::Unclaim() {
  pool_->Unclaim();
}

bool Station::Replay(std::string* error, std::vector<std::string>* notes) {
  refused_ = false;
  std::vector<JournalMark> marks;
  if (!journal_.Read(&marks, error)) {
    return false;
  }
  for (const JournalMark& mark : marks) {
    std::string why;
    const bool done = mark.kind == JournalMark::Kind::kWritten
                          ? pool_->MarkWritten(mark.address, config_.station, mark.detail, &why)
                          : pool_->MarkVerified(mark.address, config_.station, mark.detail, &why);
    if (!done && !pool_->Refused()) {
      // The marks before this one stay in the journal too: they are on record now, and the
      // store takes the same mark again as done, so the next replay starts from the top.
      *error = why + " (" + std::to_string(marks.size()) + " marks wait in the journal " +
               journal_.Path() + ")";
      return false;
    }
    if (notes != nullptr) {
      notes->push_back(done ? "put on record: " + Describe(mark)
                            : "dropped: " + Describe(mark) + ": " + why);
    }
  }
  return journal_.Clear(error);
}

bool Station::Lease(Mac48* address, std::string* error) {
  refused_ = false;
  if (!JournalEmpty(journal_.Path()) && !Replay(error)) {
    return false;
  }
  if (!pool_->Lease(config_.name, config_.station, address, error)) {
    refused_ = pool_->Refused();
    return false;
  }
  return true;
}

bool Station::MarkWritten(Mac48 address, const std::string& port, std::string* error) {
  refused_ = false;
  if (!JournalEmpty(journal_.Path()) && !Replay(error)) {
    return false;
  }
  // Not journaled when the store fails: the address command then does not go out, so there
  // is nothing to put on record later.
  if (!pool_->MarkWritten(address, config_.station, port, error)) {
    refused_ = pool_->Refused();
    return false;
  }
  return true;
}

Station::Verification Station::MarkVerified(Mac48 address, const std::string& readback,
                                            std::string* error) {
  refused_ = false;
  std::string store_error;
  if (JournalEmpty(journal_.Path()) || Replay(&store_error)) {
    if (pool_->MarkVerified(address, config_.station, readback, &store_error)) {
      return Verification::kOnRecord;
    }
    if (pool_->Refused()) {
      refused_ = true;
      *error = store_error;
      return Verification::kRefused;
    }
  }
  // The device has the address and showed it: that must not be lost because the store did
  // not answer now. After any marks still waiting, so that they go on record in order.
  std::string journal_error;
  if (journal_.Append({JournalMark::Kind::kVerified, address, readback, UtcNow()},
                      &journal_error)) {
    *error = store_error;
    return Verification::kJournaled;
  }
  *error = store_error + "; " + journal_error;
  return Verification::kFailed;
}

bool Station::Status(PoolStatus* status, std::string* error) {
  refused_ = false;
  if (!pool_->Status(config_.name, status, error)) {
    refused_ = pool_->Refused();
    return false;
  }
  return true;
}

bool Station::Current(std::optional<Mac48>* address, std::string* error) {
  refused_ = false;
  if (!pool_->OpenAddress(config_.name, config_.station, address, error)) {
    refused_ = pool_->Refused();
    return false;
  }
  return true;
}

std::size_t Station::Pending() const {
  std::vector<JournalMark> marks;
  std::string error;
  return journal_.Read(&marks, &error) ? marks.size() : 0;
}

}  // namespace pelorus::pool
