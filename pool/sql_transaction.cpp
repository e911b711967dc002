#include "pool/sql_transaction.h"

namespace pelorus::pool {

bool SqlPool::Transaction::Going() {
  if (outcome_ == Outcome::kOk && pool_.interruption_.Raised()) {
    outcome_ = Outcome::kInterrupted;
  }
  return outcome_ == Outcome::kOk;
}

}  // namespace pelorus::pool
