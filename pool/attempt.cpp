#include "pool/attempt.h"

namespace pelorus::pool {
namespace {

constexpr AttemptOutcome kOutcomes[] = {AttemptOutcome::kVerified, AttemptOutcome::kWrongReadBack,
                                        AttemptOutcome::kNoReadBack, AttemptOutcome::kPortLost,
                                        AttemptOutcome::kWindowEnded};

}  // namespace

const char* OutcomeName(AttemptOutcome outcome) {
  switch (outcome) {
    case AttemptOutcome::kVerified:
      return "verified";
    case AttemptOutcome::kWrongReadBack:
      return "wrong read-back";
    case AttemptOutcome::kNoReadBack:
      return "no read-back";
    case AttemptOutcome::kPortLost:
      return "port lost";
    case AttemptOutcome::kWindowEnded:
      return "window ended";
  }
  return "?";
}

std::optional<AttemptOutcome> OutcomeFromName(const std::string& name) {
  for (const AttemptOutcome outcome : kOutcomes) {
    if (name == OutcomeName(outcome)) {
      return outcome;
    }
  }
  return std::nullopt;
}

}  // namespace pelorus::pool
