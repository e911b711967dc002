#include "run/attempt_recorder.h"

#include <chrono>
#include <utility>

namespace pelorus {
namespace {

std::int64_t NowUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace

void AttemptRecorder::FromDevice(const char* bytes, std::size_t n) {
  transcript_.Add(pool::Transcript::Direction::kFromDevice, NowUs(), bytes, n);
}

void AttemptRecorder::ToDevice(const char* bytes, std::size_t n) {
  transcript_.Add(pool::Transcript::Direction::kToDevice, NowUs(), bytes, n);
}

void AttemptRecorder::Begin(std::optional<Finished>* ended) {
  *ended = End(pool::AttemptOutcome::kNoReadBack);
  open_ = true;
  attempt_ = pool::Attempt{};
  attempt_.code_at = pool::UtcNowText();
}

void AttemptRecorder::Writing(Mac48 address, const std::string& port) {
  attempt_.address = address;
  attempt_.port = port;
}

void AttemptRecorder::AddressSent() {
  attempt_.written_at = pool::UtcNowText();
}

void AttemptRecorder::ReadBackSent() {
  attempt_.readback_sent_at = pool::UtcNowText();
}

std::optional<AttemptRecorder::Finished> AttemptRecorder::End(pool::AttemptOutcome outcome) {
  if (!open_) {
    return std::nullopt;
  }
  open_ = false;
  Finished finished{std::move(attempt_), std::move(transcript_)};
  finished.attempt.outcome = outcome;
  finished.attempt.ended_at = pool::UtcNowText();
  if (outcome == pool::AttemptOutcome::kVerified) {
    finished.attempt.matched_at = finished.attempt.ended_at;
  }
  finished.attempt.transcript_bytes = finished.transcript.bytes();
  finished.attempt.transcript_cut = finished.transcript.cut();
  attempt_ = pool::Attempt{};
  transcript_ = pool::Transcript{};
  return finished;
}

void AttemptRecorder::Reset() {
  open_ = false;
  attempt_ = pool::Attempt{};
  transcript_.Clear();
}

}  // namespace pelorus
