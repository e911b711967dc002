#include "pool/station.h"

#include <filesystem>
#include <system_error>

#include "pool/station_state.h"

namespace pelorus::pool {
namespace {

std::string Describe(const JournalMark& mark) {
  const char* kind = mark.kind == JournalMark::Kind::kWritten    ? "written "
                     : mark.kind == JournalMark::Kind::kVerified ? "verified "
                                                                 : "attempt at ";
  return kind +
         (mark.kind == JournalMark::Kind::kAttempt && mark.address == 0
              ? std::string("no address")
              : FormatMac48(mark.address)) +
         " (" + (mark.at.empty() ? "no time" : mark.at) + ")";
}

// An attempt and its encoded transcript as one journal detail: each field as its length in
// decimal, ':' and its bytes.
std::string Pack(const Attempt& attempt, const std::string& transcript) {
  std::string packed;
  for (const std::string& field :
       {attempt.port, attempt.address ? std::to_string(*attempt.address) : std::string(),
        std::string(OutcomeName(attempt.outcome)), attempt.code_at, attempt.written_at,
        attempt.readback_sent_at, attempt.matched_at, attempt.ended_at,
        std::to_string(attempt.transcript_bytes), std::to_string(attempt.transcript_cut),
        transcript}) {
    packed += std::to_string(field.size()) + ':' + field;
  }
  return packed;
}

bool Unpack(const std::string& packed, Attempt* attempt, std::string* transcript) {
  std::vector<std::string> fields;
  for (std::size_t at = 0; at < packed.size();) {
    const std::size_t colon = packed.find(':', at);
    if (colon == std::string::npos || colon == at || colon - at > 19 ||
        packed.find_first_not_of("0123456789", at) != colon) {
      return false;
    }
    const std::size_t length = std::stoull(packed.substr(at, colon - at));
    if (length > packed.size() - colon - 1) {
      return false;
    }
    fields.push_back(packed.substr(colon + 1, length));
    at = colon + 1 + length;
  }
  const auto outcome = fields.size() == 11 ? OutcomeFromName(fields[2]) : std::nullopt;
  const auto digits = [](const std::string& text) {
    return !text.empty() && text.size() < 20 &&
           text.find_first_not_of("0123456789") == std::string::npos;
  };
  if (!outcome || !(fields[1].empty() || digits(fields[1])) || !digits(fields[8]) ||
      !digits(fields[9])) {
    return false;
  }
  attempt->port = fields[0];
  attempt->address =
      fields[1].empty() ? std::nullopt : std::optional<Mac48>(std::stoull(fields[1]));
  attempt->outcome = *outcome;
  attempt->code_at = fields[3];
  attempt->written_at = fields[4];
  attempt->readback_sent_at = fields[5];
  attempt->matched_at = fields[6];
  attempt->ended_at = fields[7];
  attempt->transcript_bytes = std::stoull(fields[8]);
  attempt->transcript_cut = std::stoull(fields[9]);
  *transcript = fields[10];
  return true;
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
  pool->SetLockWait(config.lock_wait);
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

Outcome Station::Of(bool done) const {
  return done ? Outcome::kDone : pool_->Refused() ? Outcome::kRefused : Outcome::kUnavailable;
}

Outcome Station::Claim(std::string* error, std::vector<std::string>* notes) {
  const Outcome claimed = Of(pool_->Claim(config_.name, config_.station, error));
  return claimed == Outcome::kDone ? Replay(error, notes) : claimed;
}

void Station::Unclaim() {
  pool_->Unclaim();
}

Outcome Station::Replay(std::string* error, std::vector<std::string>* notes) {
  std::vector<JournalMark> marks;
  if (!journal_.Read(&marks, error)) {
    return Outcome::kUnavailable;
  }
  for (const JournalMark& mark : marks) {
    std::string why;
    const Outcome outcome = PutOnRecord(mark, &why);
    if (outcome == Outcome::kUnavailable) {
      // The marks before this one stay in the journal too: they are on record now, and the
      // store takes the same mark again as done, so the next replay starts from the top.
      *error = why + " (" + std::to_string(marks.size()) + " marks wait in the journal " +
               journal_.Path() + ")";
      return outcome;
    }
    if (notes != nullptr) {
      notes->push_back(outcome == Outcome::kDone ? "put on record: " + Describe(mark)
                                                 : "dropped: " + Describe(mark) + ": " + why);
    }
  }
  return journal_.Clear(error) ? Outcome::kDone : Outcome::kUnavailable;
}

Outcome Station::ReplayWaiting(std::string* error) {
  return JournalEmpty(journal_.Path()) ? Outcome::kDone : Replay(error);
}

Outcome Station::PutOnRecord(const JournalMark& mark, std::string* why) {
  Attempt attempt;
  std::string transcript;
  if (mark.kind == JournalMark::Kind::kAttempt && !Unpack(mark.detail, &attempt, &transcript)) {
    // Its checksum held, yet it reads as no attempt: no store could ever take it.
    *why = "not an attempt this build reads";
    return Outcome::kRefused;
  }
  attempt.station = config_.station;
  const LeasedAddress leased{mark.address, mark.token};
  std::int64_t id = 0;
  switch (mark.kind) {
    case JournalMark::Kind::kWritten:
      return Of(pool_->MarkWritten(leased, config_.station, mark.detail, why));
    case JournalMark::Kind::kVerified:
      return Of(pool_->MarkVerified(leased, config_.station, mark.detail, why));
    case JournalMark::Kind::kAttempt:
      break;
  }
  return Of(pool_->RecordAttempt(config_.name, attempt, transcript, &id, why));
}

Outcome Station::Lease(LeasedAddress* leased, std::string* error) {
  const Outcome replayed = ReplayWaiting(error);
  if (replayed != Outcome::kDone) {
    return replayed;
  }
  return Of(pool_->Lease(config_.name, config_.station, leased, error));
}

Outcome Station::MarkWritten(const LeasedAddress& leased, const std::string& port,
                             std::string* error) {
  const Outcome replayed = ReplayWaiting(error);
  if (replayed != Outcome::kDone) {
    return replayed;
  }
  return Of(pool_->MarkWritten(leased, config_.station, port, error));
}

Station::Verification Station::MarkVerified(const LeasedAddress& leased,
                                            const std::string& readback, std::string* error) {
  std::string store_error;
  if (ReplayWaiting(&store_error) == Outcome::kDone) {
    const Outcome outcome =
        Of(pool_->MarkVerified(leased, config_.station, readback, &store_error));
    if (outcome == Outcome::kDone) {
      return Verification::kOnRecord;
    }
    if (outcome == Outcome::kRefused) {
      *error = store_error;
      return Verification::kRefused;
    }
  }
  // The device has the address and showed it: that must not be lost because the store did
  // not answer now. After any marks still waiting, so that they go on record in order.
  std::string journal_error;
  if (journal_.Append(
          {JournalMark::Kind::kVerified, leased.address, readback, UtcNowText(), leased.token},
          &journal_error)) {
    *error = store_error;
    return Verification::kJournaled;
  }
  *error = store_error + "; " + journal_error;
  return Verification::kFailed;
}

bool Station::Journal(const LeasedAddress& leased, const std::string& readback,
                      std::string* error) {
  return journal_.Append(
      {JournalMark::Kind::kVerified, leased.address, readback, UtcNowText(), leased.token}, error);
}

Outcome Station::RecordAttempt(const Attempt& attempt, const std::string& transcript,
                               std::string* error, std::int64_t* id) {
  Attempt ours = attempt;
  ours.pool = config_.name;
  ours.station = config_.station;
  std::int64_t on_record = 0;
  if (id != nullptr) {
    *id = 0;
  }
  std::string store_error;
  if (ReplayWaiting(&store_error) == Outcome::kDone) {
    const Outcome outcome =
        Of(pool_->RecordAttempt(config_.name, ours, transcript, &on_record, &store_error));
    if (outcome == Outcome::kDone) {
      if (id != nullptr) {
        *id = on_record;
      }
      error->clear();
      return outcome;
    }
    if (outcome == Outcome::kRefused) {
      *error = store_error;
      return outcome;
    }
  }
  std::string journal_error;
  if (journal_.Append({JournalMark::Kind::kAttempt, attempt.address.value_or(0),
                       Pack(ours, transcript), ours.ended_at, ""},
                      &journal_error)) {
    *error = store_error;
    return Outcome::kDone;
  }
  *error = store_error + "; " + journal_error;
  return Outcome::kUnavailable;
}

Outcome Station::Status(PoolStatus* status, std::string* error) {
  return Of(pool_->Status(config_.name, status, error));
}

Outcome Station::Current(std::optional<Mac48>* address, std::string* error) {
  return Of(pool_->OpenAddress(config_.name, config_.station, address, error));
}

std::size_t Station::Pending() const {
  std::vector<JournalMark> marks;
  std::string error;
  return journal_.Read(&marks, &error) ? marks.size() : 0;
}

}  // namespace pelorus::pool
